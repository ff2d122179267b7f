// A small SNPP server on one address of either family, for client tests.
#include "support/peer_snpp.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/daemon_run.h"

namespace testsupport {

namespace {

void reply(int fd, const char* text) { send(fd, text, strlen(text), MSG_NOSIGNAL); }

void serve(int listener, int record) {
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  reply(fd, "220 test server ready\r\n");
  std::string pending;
  bool in_data = false;
  char buf[512];
  for (;;) {
    size_t end = pending.find("\r\n");
    if (end == std::string::npos) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      continue;
    }
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 2);
    std::string recorded = line + "\r\n";
    if (write(record, recorded.data(), recorded.size()) < 0) return;
    if (in_data) {
      in_data = line != ".";
      if (!in_data) reply(fd, "250 ok\r\n");
    } else if (line == "DATA") {
      in_data = true;
      reply(fd, "354 go on\r\n");
    } else if (line == "QUIT") {
      reply(fd, "221 bye\r\n");
      close(fd);
      return;
    } else {
      reply(fd, "250 ok\r\n");
    }
  }
}

}  // namespace

snpp_peer::snpp_peer(const std::string& address, int port) {
  sockaddr_storage addr;
  socklen_t len = socket_address(address, port, addr);
  if (len == 0) return;
  int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Only this family: the other one's address stays free for another peer.
  if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || listen(fd, 5) != 0) {
    close(fd);
    return;
  }
  int out[2];
  if (pipe(out) != 0) return;
  fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    close(out[0]);
    alarm(20);  // never outlive a test
    serve(fd, out[1]);
    _exit(0);
  }
  close(out[1]);
  close(fd);
  record_ = out[0];
}

snpp_peer::~snpp_peer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (record_ >= 0) close(record_);
}

std::string snpp_peer::finish() {
  std::string got;
  char buf[1024];
  pollfd p{record_, POLLIN, 0};
  while (poll(&p, 1, 10000) > 0) {
    ssize_t n = read(record_, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

}  // namespace testsupport
