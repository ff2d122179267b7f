// A scripted ident server for tests: answers one client with fixed bytes
// and records the query it received.
//
// Usage: identpeer PORT MODE ANSWER LOG
// Prints "ready" on standard output once it listens on 0.0.0.0:PORT and,
// where the host has IPv6, on [::]:PORT, so that it serves every loopback
// address of the network namespace. It serves the first client of either.
//
// MODE "answer": read the query line, send the bytes of the file ANSWER
// unchanged and close. "hold": the same, but keep the connection open
// until the client closes it. "silent": read the query, never answer, wait
// for the client to close. LOG receives the query bytes exactly.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr size_t QUERY_MAX = 512;

// The query up to and with its line feed (or what came before the client
// stopped sending).
std::string read_query(int fd) {
  std::string query;
  char c;
  while (query.size() < QUERY_MAX && read(fd, &c, 1) == 1) {
    query.push_back(c);
    if (c == '\n') break;
  }
  return query;
}

bool send_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// A listener on the wildcard address of `family`, or -1.
int listen_on(int family, int port) {
  int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_storage addr = {};
  socklen_t len = 0;
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    auto* six = reinterpret_cast<struct sockaddr_in6*>(&addr);
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(static_cast<uint16_t>(port));
    six->sin6_addr = in6addr_any;
    len = sizeof *six;
  } else {
    auto* four = reinterpret_cast<struct sockaddr_in*>(&addr);
    four->sin_family = AF_INET;
    four->sin_port = htons(static_cast<uint16_t>(port));
    four->sin_addr.s_addr = htonl(INADDR_ANY);
    len = sizeof *four;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), len) < 0 || listen(fd, 5) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void wait_for_close(int fd) {
  char buf[256];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s port mode answer log\n", argv[0]);
    return 2;
  }
  alarm(30);  // never outlive a test
  std::string mode = argv[2];
  std::ifstream in(argv[3], std::ios::binary);
  std::string answer((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  FILE* log = fopen(argv[4], "w");
  if (log == nullptr) {
    perror(argv[4]);
    return 2;
  }

  int port = atoi(argv[1]);
  struct pollfd listeners[2] = {{listen_on(AF_INET, port), POLLIN, 0},
                                {listen_on(AF_INET6, port), POLLIN, 0}};
  if (listeners[0].fd < 0) {
    perror("bind/listen");
    return 2;
  }
  printf("ready\n");
  fflush(stdout);
  if (poll(listeners, 2, -1) <= 0) return 2;
  int ready = (listeners[0].revents & POLLIN) ? listeners[0].fd : listeners[1].fd;
  int fd = accept(ready, nullptr, nullptr);
  if (fd < 0) return 2;
  close(listeners[0].fd);
  if (listeners[1].fd >= 0) close(listeners[1].fd);

  std::string query = read_query(fd);
  fwrite(query.data(), 1, query.size(), log);
  fclose(log);
  if (mode == "answer" || mode == "hold") send_all(fd, answer);
  if (mode != "answer") wait_for_close(fd);
  close(fd);
  return 0;
}
