// The simulator's side of a paging terminal reached over TCP or TLS.
#include "netline.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace callvane::tapsim {

namespace {

// A handshake or a blocked write gives up after this long.
constexpr int HANDSHAKE_MS = 10000;
constexpr int WRITE_MS = 5000;

int ms_until(line_end::clock::time_point t) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(t - line_end::clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool ready(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, ms) > 0;
}

std::string shown(const sockaddr_storage& a) {
  char host[INET6_ADDRSTRLEN] = "?";
  unsigned port = 0;
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
    inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
    port = ntohs(in6.sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
  }
  const auto& in = reinterpret_cast<const sockaddr_in&>(a);
  inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
  port = ntohs(in.sin_port);
  return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

struct net_end::tls_state {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~tls_state() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
  }
  // SSL_get_error after a call that did not complete: wait for what it
  // wants, at most `ms`; false when it failed for good.
  bool again(int fd, int result, int ms) const {
    int err = SSL_get_error(ssl, result);
    if (err == SSL_ERROR_WANT_READ) return ready(fd, POLLIN, ms);
    if (err == SSL_ERROR_WANT_WRITE) return ready(fd, POLLOUT, ms);
    return false;
  }
};

net_end::net_end(const volatile sig_atomic_t& stop) : stop_(stop) {}

net_end::~net_end() {
  drop();
  if (listener_ >= 0) close(listener_);
}

bool net_end::listen_on(const std::string& where, const std::string& cert, const std::string& key,
                        std::string& why) {
  std::string host, port;
  size_t colon = where.rfind(':');
  if (colon == std::string::npos) {
    why = "--listen wants HOST:PORT";
    return false;
  }
  host = where.substr(0, colon);
  port = where.substr(colon + 1);
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
  listener_ = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  if (listener_ >= 0) setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  bool ok = listener_ >= 0 && bind(listener_, found->ai_addr, found->ai_addrlen) == 0 &&
            listen(listener_, 8) == 0;
  freeaddrinfo(found);
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (!ok || getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    why = std::string("cannot listen: ") + strerror(errno);
    return false;
  }
  address_ = shown(bound);
  if (cert.empty()) return true;
  tls_ = std::make_unique<tls_state>();
  tls_->ctx = SSL_CTX_new(TLS_server_method());
  if (tls_->ctx == nullptr || SSL_CTX_use_certificate_chain_file(tls_->ctx, cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(tls_->ctx, key.c_str(), SSL_FILETYPE_PEM) != 1) {
    char text[256] = "cannot set up TLS";
    if (unsigned long e = ERR_get_error()) ERR_error_string_n(e, text, sizeof text);
    why = text;
    return false;
  }
  return true;
}

bool net_end::accept_one(int ms) {
  if (!ready(listener_, POLLIN, ms)) return false;
  sockaddr_storage from{};
  socklen_t len = sizeof from;
  int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
  if (fd < 0) return false;
  fcntl(fd, F_SETFL, O_NONBLOCK);
  if (tls_) {
    tls_->ssl = SSL_new(tls_->ctx);
    SSL_set_fd(tls_->ssl, fd);
    auto until = clock::now() + std::chrono::milliseconds(HANDSHAKE_MS);
    for (;;) {
      int r = SSL_accept(tls_->ssl);
      if (r == 1) break;
      if (stop_ || !tls_->again(fd, r, ms_until(until))) {
        // A caller that refused our certificate, or no TLS at all: no call.
        SSL_free(tls_->ssl);
        tls_->ssl = nullptr;
        close(fd);
        return false;
      }
    }
  }
  conn_ = fd;
  peer_ = shown(from);
  fresh_ = true;
  unread_.clear();
  next_ = 0;
  return true;
}

void net_end::drop() {
  if (conn_ < 0) return;
  if (tls_ && tls_->ssl) {
    SSL_shutdown(tls_->ssl);
    SSL_free(tls_->ssl);
    tls_->ssl = nullptr;
  }
  close(conn_);
  conn_ = -1;
  gone_ = false;
  peer_.clear();
}

bool net_end::fill() {
  char chunk[512];
  for (;;) {
    ssize_t n;
    if (tls_) {
      int r = SSL_read(tls_->ssl, chunk, sizeof chunk);
      if (r > 0) {
        n = r;
      } else {
        int err = SSL_get_error(tls_->ssl, r);
        return err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
      }
    } else {
      n = recv(conn_, chunk, sizeof chunk, 0);
      if (n == 0) return false;
      if (n < 0) return errno == EAGAIN || errno == EINTR;
    }
    unread_.append(chunk, static_cast<size_t>(n));
    traffic_.from_caller += n;
  }
}

bool net_end::wait(int ms) {
  if (conn_ < 0) {
    accept_one(ms);
    return true;
  }
  if (next_ < unread_.size()) return true;
  unread_.clear();
  next_ = 0;
  if (!gone_) {
    bool pending = tls_ && SSL_pending(tls_->ssl) > 0;
    if (!pending && !ready(conn_, POLLIN, ms)) return true;
    // The caller closed its end (or the connection broke): the call is
    // over once what it sent before has been taken.
    gone_ = !fill();
    if (!unread_.empty()) return true;
  }
  if (!gone_) return true;
  drop();
  return false;
}

int net_end::take() {
  return next_ < unread_.size() ? static_cast<unsigned char>(unread_[next_++]) : -1;
}

std::string net_end::drain() {
  std::string rest = unread_.substr(next_);
  unread_.clear();
  next_ = 0;
  return rest;
}

void net_end::send(const std::string& s) {
  if (conn_ < 0) return;
  auto until = clock::now() + std::chrono::milliseconds(WRITE_MS);
  size_t done = 0;
  while (done < s.size() && !stop_) {
    ssize_t n;
    if (tls_) {
      int r = SSL_write(tls_->ssl, s.data() + done, static_cast<int>(s.size() - done));
      if (r <= 0) {
        if (!tls_->again(conn_, r, ms_until(until))) break;
        continue;
      }
      n = r;
    } else {
      n = ::send(conn_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
      if (n < 0) {
        if ((errno != EAGAIN && errno != EINTR) || !ready(conn_, POLLOUT, ms_until(until))) break;
        continue;
      }
    }
    done += static_cast<size_t>(n);
  }
  traffic_.to_caller += static_cast<long>(done);
}

void net_end::pause(int ms) {
  auto until = clock::now() + std::chrono::milliseconds(ms);
  while (!stop_ && clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms_until(until), 20)));
}

speed_t net_end::speed() const { return conn_ >= 0 ? B9600 : B0; }

void net_end::idle() { drop(); }

bool net_end::answered() {
  bool was = fresh_;
  fresh_ = false;
  return was;
}

line_end::traffic net_end::take_traffic() {
  traffic t = traffic_;
  traffic_ = {};
  return t;
}

}  // namespace callvane::tapsim
