// The simulated carrier's listening socket and its connections, plain or TLS.
#include "connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace wctpsim {

volatile sig_atomic_t stop_requested = 0;

namespace {

// Blocking calls on a connection give up after this long.
constexpr int SOCKET_TIMEOUT_SECONDS = 5;
// Waits are cut into slices this long so that a stop is seen soon.
constexpr int SLICE_MS = 100;

int ms_until(clock::time_point t) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t - clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// True once `fd` is readable before the deadline and no stop was asked for.
bool readable(int fd, clock::time_point until) {
  for (;;) {
    if (stop_requested) return false;
    int left = ms_until(until);
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, std::min(left, SLICE_MS));
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
    if (left == 0) return false;
  }
}

std::string shown(const sockaddr_storage& a) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in = reinterpret_cast<const sockaddr_in&>(a);
  inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(in.sin_port));
}

}  // namespace

connection::~connection() {
  if (ssl_) SSL_shutdown(ssl_.get());
  ssl_.reset();
  close(fd_);
}

bool connection::read_some(std::string& into, clock::time_point until) {
  char chunk[4096];
  if (!(ssl_ && SSL_pending(ssl_.get()) > 0) && !readable(fd_, until)) return false;
  ssize_t n = ssl_ ? SSL_read(ssl_.get(), chunk, sizeof chunk) : recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  into.append(chunk, static_cast<size_t>(n));
  return true;
}

bool connection::write_all(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size() && !stop_requested) {
    ssize_t n =
        ssl_ ? SSL_write(ssl_.get(), bytes.data() + done, static_cast<int>(bytes.size() - done))
             : send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return done == bytes.size();
}

void connection::wait_closed(clock::time_point until) {
  std::string ignored;
  while (read_some(ignored, until)) ignored.clear();
}

listener::~listener() {
  if (fd_ >= 0) close(fd_);
}

bool listener::listen_on(const std::string& where, const std::string& cert, const std::string& key,
                         std::string& why) {
  size_t colon = where.rfind(':');
  if (colon == std::string::npos) {
    why = "--listen wants HOST:PORT";
    return false;
  }
  std::string host = where.substr(0, colon), port = where.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (int gai = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); gai != 0) {
    why = std::string("bad address: ") + gai_strerror(gai);
    return false;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
  fd_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (fd_ < 0 || bind(fd_, found->ai_addr, found->ai_addrlen) != 0 || listen(fd_, 8) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    why = std::string("cannot listen: ") + strerror(errno);
    return false;
  }
  address_ = shown(bound);
  if (cert.empty()) return true;
  ctx_.reset(SSL_CTX_new(TLS_server_method()));
  if (!ctx_ || SSL_CTX_use_certificate_chain_file(ctx_.get(), cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_.get(), key.c_str(), SSL_FILETYPE_PEM) != 1) {
    char text[256] = "cannot set up TLS";
    if (unsigned long e = ERR_get_error()) ERR_error_string_n(e, text, sizeof text);
    why = text;
    return false;
  }
  return true;
}

std::unique_ptr<connection> listener::accept_one(int ms) {
  if (!readable(fd_, clock::now() + std::chrono::milliseconds(ms))) return nullptr;
  int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return nullptr;
  // Blocking calls, each bounded, so a silent caller cannot hold the carrier.
  timeval limit{SOCKET_TIMEOUT_SECONDS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  std::unique_ptr<SSL, ssl_free> ssl;
  if (ctx_) {
    ssl.reset(SSL_new(ctx_.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1 || SSL_accept(ssl.get()) != 1) {
      // A caller that refused our certificate: no connection to serve.
      ssl.reset();
      close(fd);
      return nullptr;
    }
  }
  return std::make_unique<connection>(fd, std::move(ssl));
}

}  // namespace wctpsim
