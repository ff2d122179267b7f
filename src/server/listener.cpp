// Opening the daemon's listening sockets, IPv4 and IPv6.
#include "server/listener.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.h"

namespace callvane {

namespace {

constexpr uint16_t DEFAULT_PORT = 444;
// Room for a burst of clients while the daemon forks: a connection the
// kernel drops for a full queue waits a whole SYN retransmission (1 s).
constexpr int LISTEN_BACKLOG = 128;

// Binds and listens; the name of the call that failed, or null.
const char* bind_and_listen(int fd, const sockaddr* addr, socklen_t len) {
  if (bind(fd, addr, len) != 0) return "bind() failed: %s\n";
  if (listen(fd, LISTEN_BACKLOG) != 0) return "listen() failed: %s\n";
  return nullptr;
}

// The bound, listening IPv4 socket, or -1 after the message on standard
// error. It does not block: a client that leaves between the wait and the
// accept must not stall the daemon.
int open_listener(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    fprintf(stderr, "socket() failed: %s\n", strerror(errno));
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  const char* failed = bind_and_listen(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  if (failed == nullptr) return fd;
  fprintf(stderr, failed, strerror(errno));
  close(fd);
  return -1;
}

// Errors that mean this host has no IPv6 to listen on.
bool no_ipv6_here(int err) {
  return err == EAFNOSUPPORT || err == EADDRNOTAVAIL || err == EPROTONOSUPPORT;
}

// The IPv6 socket on the same port, beside the IPv4 one. IPv6 only, so
// that IPv4 peers keep arriving on the IPv4 socket as plain IPv4. Returns
// the socket; -1 with `fatal` false when the host has no IPv6 (logged once),
// -1 with `fatal` true after the message on standard error.
int open_listener6(uint16_t port, bool& fatal) {
  fatal = false;
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  int on = 1;
  const char* failed = nullptr;
  bool missing = false;  // no IPv6 here, whatever the error
  if (fd < 0) {
    failed = "socket() failed: %s\n";
  } else if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
    // Without it the bind would claim the IPv4 port as well, and fail.
    missing = true;
  } else {
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in6 addr {};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(port);
    failed = bind_and_listen(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
  }
  if (failed == nullptr && !missing) return fd;
  int err = errno;
  if (fd >= 0) close(fd);
  if (missing || no_ipv6_here(err)) {
    logmsg(LOG_INFO, "no IPv6 listener, serving IPv4 only: %s", strerror(err));
    return -1;
  }
  fprintf(stderr, failed, strerror(err));
  fatal = true;
  return -1;
}

}  // namespace

uint16_t choose_port(uint16_t port) {
  if (port != 0) return port;
  if (const struct servent* se = getservbyname("snpp", "tcp"))
    return ntohs(static_cast<uint16_t>(se->s_port));
  return DEFAULT_PORT;
}

std::optional<listeners> open_listeners(uint16_t port) {
  listeners fds = {open_listener(port), -1};
  // IPv6 is tried only beside a working IPv4 listener.
  bool fatal = fds[0] < 0;
  if (!fatal) fds[1] = open_listener6(port, fatal);
  if (!fatal) return fds;
  close_listeners(fds);
  return std::nullopt;
}

void close_listeners(const listeners& fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

}  // namespace callvane
