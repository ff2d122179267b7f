// RFC 1413 ident client: asks the peer's host who owns a connection.
#include "server/ident.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/fileio.h"
#include "common/instream.h"
#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"

namespace callvane {

namespace {

constexpr uint16_t IDENT_PORT = 113;         // when the services database has none
constexpr size_t ANSWER_MAX = 1023;          // bytes of the answer that are kept
constexpr const char* QUERY = "%u, %u\r\n";  // peer's port, then ours

enum class wait_result { ready, timed_out, failed };

// Waits for `events` on `fd` until the deadline; signals only cut the wait.
wait_result wait_for(int fd, short events, mono_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - mono_clock::now());
    if (left.count() <= 0) return wait_result::timed_out;
    struct pollfd pfd = {fd, events, 0};
    int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
    if (r > 0) return wait_result::ready;
    if (r < 0 && errno != EINTR) return wait_result::failed;
  }
}

uint16_t ident_port() {
  struct servent* s = getservbyname("ident", "tcp");
  return s != nullptr ? ntohs(static_cast<uint16_t>(s->s_port)) : IDENT_PORT;
}

// The connect of a non-blocking socket, finished within the deadline.
// 0, a connect error number, or -1 on a time-out.
int connect_within(int fd, const sockaddr_storage& target, socklen_t target_len,
                   mono_clock::time_point deadline) {
  if (connect(fd, reinterpret_cast<const sockaddr*>(&target), target_len) == 0) return 0;
  if (errno != EINPROGRESS && errno != EINTR) return errno;
  switch (wait_for(fd, POLLOUT, deadline)) {
    case wait_result::timed_out:
      return -1;
    case wait_result::failed:
      return errno;
    case wait_result::ready:
      break;
  }
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// The size of an address of the family, or 0 for one we cannot ask over.
socklen_t address_length(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET) return sizeof(sockaddr_in);
  if (addr.ss_family == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

// The port of an IPv4 or IPv6 address, in host order.
uint16_t port_of(const sockaddr_storage& addr) {
  if (addr.ss_family == AF_INET6) {
    sockaddr_in6 six;
    memcpy(&six, &addr, sizeof six);
    return ntohs(six.sin6_port);
  }
  sockaddr_in four;
  memcpy(&four, &addr, sizeof four);
  return ntohs(four.sin_port);
}

// The same address with another port (host order).
sockaddr_storage with_port(const sockaddr_storage& addr, uint16_t port) {
  sockaddr_storage out = addr;
  if (addr.ss_family == AF_INET6) {
    sockaddr_in6 six;
    memcpy(&six, &addr, sizeof six);
    six.sin6_port = htons(port);
    memcpy(&out, &six, sizeof six);
  } else {
    sockaddr_in four;
    memcpy(&four, &addr, sizeof four);
    four.sin_port = htons(port);
    memcpy(&out, &four, sizeof four);
  }
  return out;
}

// Sends all of `text`; 0, an error number, or -1 on a time-out.
int send_within(int fd, std::string_view text, mono_clock::time_point deadline) {
  while (!text.empty()) {
    ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n >= 0) {
      text.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
    wait_result w = wait_for(fd, POLLOUT, deadline);
    if (w == wait_result::timed_out) return -1;
    if (w == wait_result::failed) return errno;
  }
  return 0;
}

enum class read_result { closed, failed, timed_out };

// Reads until the server closes or ANSWER_MAX bytes are in.
read_result read_answer(int fd, std::string& answer, mono_clock::time_point deadline) {
  char buf[ANSWER_MAX];
  size_t len = 0;
  for (;;) {
    // A full buffer ends the answer as the server's close would.
    if (len == ANSWER_MAX) break;
    ssize_t n = read(fd, buf + len, ANSWER_MAX - len);
    if (n == 0) break;
    if (n > 0) {
      len += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return read_result::failed;
    wait_result w = wait_for(fd, POLLIN, deadline);
    if (w == wait_result::timed_out) return read_result::timed_out;
    if (w == wait_result::failed) return read_result::failed;
  }
  answer.assign(buf, len);
  return read_result::closed;
}

// Cuts one line end: LF (with a CR before it), else one final CR.
void strip_line_end(std::string& text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  } else if (!text.empty() && text.back() == '\r') {
    text.pop_back();
  }
}

// The characters from `pos` up to one of `stops` (or the end); at least one
// is needed, as with a scanf set. Advances `pos`.
bool take_field(std::string_view text, size_t& pos, std::string_view stops, std::string& field) {
  size_t end = text.find_first_of(stops, pos);
  if (end == std::string_view::npos) end = text.size();
  if (end == pos) return false;
  field.assign(text.substr(pos, end - pos));
  pos = end;
  return true;
}

bool take_colon(std::string_view text, size_t& pos) {
  if (pos >= text.size() || text[pos] != ':') return false;
  pos++;
  return true;
}

// "ports : type : os : user": the number of the three fields found.
int scan_answer(std::string_view text, std::string& type, std::string& os, std::string& user) {
  // The answer is a C text to the protocol; a NUL byte ends it.
  text = text.substr(0, text.find('\0'));
  size_t pos = 0;
  std::string ports;
  if (!take_field(text, pos, ":", ports) || !take_colon(text, pos)) return 0;
  if (!take_field(text, pos, ":", type)) return 0;
  if (!take_colon(text, pos) || !take_field(text, pos, ":", os)) return 1;
  if (!take_colon(text, pos) || !take_field(text, pos, "\r\n", user)) return 2;
  return 3;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [&](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

void trim_blanks(std::string& text) {
  size_t start = 0;
  while (start < text.size() && is_space(static_cast<unsigned char>(text[start]))) start++;
  size_t end = text.size();
  while (end > start && is_space(static_cast<unsigned char>(text[end - 1]))) end--;
  text = text.substr(start, end - start);
}

std::optional<std::string> ident_query(int fd) {
  // Without a time limit the question would not be bounded: none is asked.
  if (identtimeout <= 0) return std::nullopt;

  sockaddr_storage ours{}, peer{};
  socklen_t len = sizeof ours;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &len) != 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.getsockname() failed: %s", strerror(errno));
    return std::nullopt;
  }
  len = sizeof peer;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.getpeername() failed: %s", strerror(errno));
    return std::nullopt;
  }
  socklen_t addr_len = address_length(peer);
  if (addr_len == 0 || ours.ss_family != peer.ss_family) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.getpeername() failed: %s", strerror(EAFNOSUPPORT));
    return std::nullopt;
  }

  // The peer's own address (its IPv6 zone included) on the ident port.
  sockaddr_storage target = with_port(peer, ident_port());

  // Closed on every way out.
  unique_fd sock(socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (sock.get() < 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.socket() failed: %s", strerror(errno));
    return std::nullopt;
  }
  // The question comes from our address of the connection, so the peer's
  // server finds the pair it is asked about; should that fail, the kernel
  // picks the address.
  sockaddr_storage local = with_port(ours, 0);
  if (bind(sock.get(), reinterpret_cast<const sockaddr*>(&local), addr_len) != 0 && debug > 0)
    logmsg(LOG_DEBUG, "ident.bind() failed: %s", strerror(errno));

  // One limit for the whole exchange; running into it is silent.
  mono_clock::time_point deadline = mono_clock::now() + std::chrono::seconds(identtimeout);
  int err = connect_within(sock.get(), target, addr_len, deadline);
  if (err < 0) return std::nullopt;
  if (err == ECONNREFUSED) {
    if (debug > 0) logmsg(LOG_DEBUG, "RFC-1413 query refused by remote");
    return std::nullopt;
  }
  if (err != 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.connect() failed: %s", strerror(err));
    return std::nullopt;
  }

  char query[32];
  snprintf(query, sizeof query, QUERY, static_cast<unsigned>(port_of(peer)),
           static_cast<unsigned>(port_of(ours)));
  err = send_within(sock.get(), query, deadline);
  if (err < 0) return std::nullopt;
  if (err != 0) {
    if (debug > 0) logmsg(LOG_DEBUG, "ident.write() failed: %s", strerror(err));
    return std::nullopt;
  }

  std::string answer;
  read_result got = read_answer(sock.get(), answer, deadline);
  if (got == read_result::timed_out) return std::nullopt;
  if (got != read_result::closed || answer.empty()) {
    if (debug > 0) logmsg(LOG_DEBUG, "no valid ident response");
    return std::nullopt;
  }
  return ident_answer_user(std::move(answer));
}

std::optional<std::string> ident_answer_user(std::string answer) {
  std::string type, os, user;
  strip_line_end(answer);
  if (scan_answer(answer, type, os, user) < 3) {
    if (debug > 0) logmsg(LOG_DEBUG, "no valid ident response");
    return std::nullopt;
  }
  trim_blanks(type);
  trim_blanks(os);
  trim_blanks(user);
  if (debug > 0) {
    // safe_string reuses one buffer, so each field is copied out first.
    std::string shown_type = safe_string(type), shown_os = safe_string(os);
    std::string shown_user = safe_string(user);
    logmsg(LOG_DEBUG, "ident: type=<%s>, os=<%s>, user=<%s>", shown_type.c_str(), shown_os.c_str(),
           shown_user.c_str());
  }
  // An empty name would pass for a user in logs and caller id checks.
  if (!equals_nocase(type, "userid") || equals_nocase(os, "other") || user.empty())
    return std::nullopt;
  return user;
}

}  // namespace callvane
