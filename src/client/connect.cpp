// Reaching SNPP servers: server lists, name lookup and bounded connections.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "client/client.h"
#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

constexpr int DEFAULT_PORT = 444;
const char SERVER_SEPARATORS[] = ",: \t\r\n";
// The separators that never occur inside an IPv6 address literal.
const char LITERAL_ENDS[] = ", \t\r\n";

// Connects within `wait`; false with errno set otherwise.
bool connect_within(int fd, const struct sockaddr* addr, socklen_t len,
                    std::chrono::milliseconds wait) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  if (connect(fd, addr, len) < 0) {
    if (errno != EINPROGRESS && errno != EINTR) return false;
    mono_clock::time_point deadline = mono_clock::now() + wait;
    for (;;) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - mono_clock::now());
      struct pollfd pfd = {fd, POLLOUT, 0};
      int r = poll(&pfd, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX)));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      int error = 0;
      socklen_t len = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return false;
      if (error != 0) {
        errno = error;
        return false;
      }
      break;
    }
  }
  return fcntl(fd, F_SETFL, flags) == 0;
}

// True when `text` is a numeric address (an IPv6 zone allowed) of
// `family`, or of either family with AF_UNSPEC.
bool numeric_address(const std::string& text, int family) {
  if (text.empty()) return false;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

// The address inside "[...]" when `name` is a bracketed numeric address.
std::optional<std::string> bracket_content(std::string_view name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return std::nullopt;
  std::string inside(name.substr(1, name.size() - 2));
  if (!numeric_address(inside, AF_UNSPEC)) return std::nullopt;
  return inside;
}

// A word of the list that names one server although it may hold colons:
// a bracketed address, or a bare IPv6 address.
bool address_literal(std::string_view word) {
  if (bracket_content(word)) return true;
  return word.find(':') != std::string_view::npos && numeric_address(std::string(word), AF_INET6);
}

// Where the word of the list that starts at `start` ends, npos at the end
// of the list: at a separator other than a colon, or right after the "]"
// of a bracketed word, where a colon may follow as well.
size_t literal_end(std::string_view list, size_t start) {
  if (list[start] == '[') {
    size_t after = list.find(']', start);
    if (after != std::string_view::npos) {
      after++;
      if (after == list.size()) return std::string_view::npos;
      if (std::string_view(SERVER_SEPARATORS).find(list[after]) != std::string_view::npos)
        return after;
    }
  }
  return list.find_first_of(LITERAL_ENDS, start);
}

// The port of the service "snpp" over "tcp", else 444; network order.
in_port_t snpp_port() {
  struct servent* se = getservbyname("snpp", "tcp");
  return se != nullptr ? static_cast<in_port_t>(se->s_port) : htons(DEFAULT_PORT);
}

void set_port(struct sockaddr* addr, in_port_t port) {
  if (addr->sa_family == AF_INET6)
    reinterpret_cast<struct sockaddr_in6*>(addr)->sin6_port = port;
  else if (addr->sa_family == AF_INET)
    reinterpret_cast<struct sockaddr_in*>(addr)->sin_port = port;
}

// How a connection attempt to every address of a host ended.
struct dial_result {
  enum stage { connected, unknown_host, no_socket, refused };
  stage how = unknown_host;
  int fd = -1;
  int error = 0;  // errno of the last failure
};

// Every address of `host` in the resolver's order, each within `wait`;
// only the last failure is kept, as that of the server.
dial_result dial(const std::string& host, in_port_t port, std::chrono::milliseconds wait) {
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  dial_result result;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return result;
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
  result.how = dial_result::refused;
  result.error = EAFNOSUPPORT;  // should no address be of either family
  for (struct addrinfo* ai = found; ai != nullptr && result.fd < 0; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    int fd = socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    result.how = fd < 0 ? dial_result::no_socket : dial_result::refused;
    if (fd < 0) {
      result.error = errno;
      continue;
    }
    set_port(ai->ai_addr, port);
    if (!connect_within(fd, ai->ai_addr, ai->ai_addrlen, wait)) {
      result.error = errno;
      ::close(fd);
      continue;
    }
    result = {dial_result::connected, fd, 0};
  }
  return result;
}

}  // namespace

bool next_server(std::optional<std::string_view>& state, std::string& name) {
  if (!state) return false;
  std::string_view list = *state;
  size_t start = list.find_first_not_of(LITERAL_ENDS);
  if (start != std::string_view::npos) {
    size_t end = literal_end(list, start);
    std::string_view word = list.substr(start, end == std::string_view::npos ? end : end - start);
    if (address_literal(word)) {
      name.assign(word);
      // As next_token does: one separator after the name goes with it.
      if (end == std::string_view::npos)
        state.reset();
      else
        state = list.substr(end + 1);
      return true;
    }
  }
  return next_token(state, SERVER_SEPARATORS, name);
}

int connect_server(const std::string& name) {
  if (debug) {
    printf("Connecting to SNPP server at %s\n", name.c_str());
    fflush(stdout);
  }
  // A bracketed address is looked up without its brackets.
  dial_result r = dial(bracket_content(name).value_or(name), snpp_port(), reply_timeout);
  switch (r.how) {
    case dial_result::unknown_host:
      fprintf(stderr, "Unknown host: %s\n", name.c_str());
      return -1;
    case dial_result::no_socket:
      errno = r.error;
      perror("Cannot create socket");
      return -1;
    case dial_result::refused:
      fprintf(stderr, "Cannot connect to SNPP server at %s: %s\n", name.c_str(), strerror(r.error));
      return -1;
    case dial_result::connected:
      break;
  }
  if (debug) {
    puts("Connected");
    fflush(stdout);
  }
  return r.fd;
}

int connect_to(const std::string& host, const std::string& port,
               std::chrono::milliseconds per_address, std::string& why) {
  char* end = nullptr;
  unsigned long number = strtoul(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || number == 0 || number > 65535) {
    why = "bad port " + port;
    return -1;
  }
  dial_result r = dial(host, htons(static_cast<in_port_t>(number)), per_address);
  if (r.how == dial_result::unknown_host) why = "unknown host";
  if (r.how == dial_result::no_socket || r.how == dial_result::refused) why = strerror(r.error);
  return r.fd;
}

}  // namespace callvane
