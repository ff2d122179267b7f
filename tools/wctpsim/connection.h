// The simulated carrier's listening socket and its connections, plain or TLS.
#pragma once

#include <openssl/ssl.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>

namespace wctpsim {

using clock = std::chrono::steady_clock;

// Set by the signal handlers; every wait checks it.
extern volatile sig_atomic_t stop_requested;

struct ssl_free {
  void operator()(SSL* s) const { SSL_free(s); }
};
struct ssl_ctx_free {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};

// One accepted connection; every wait ends at the caller's deadline or at
// a stop request.
class connection {
 public:
  connection(int fd, std::unique_ptr<SSL, ssl_free> ssl) : fd_(fd), ssl_(std::move(ssl)) {}
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Appends what arrives to `into`: false when the peer closed, the
  // deadline passed or a stop was asked for with nothing read.
  bool read_some(std::string& into, clock::time_point until);
  // False when not everything could be written.
  bool write_all(const std::string& bytes);
  // Waits until the peer closes (or the deadline, or a stop).
  void wait_closed(clock::time_point until);

 private:
  int fd_;
  std::unique_ptr<SSL, ssl_free> ssl_;  // null for plain TCP
};

class listener {
 public:
  listener() = default;
  ~listener();
  listener(const listener&) = delete;
  listener& operator=(const listener&) = delete;

  // Listens on "HOST:PORT" ("[::1]:PORT"; port 0 picks one), with TLS when
  // a certificate chain and key are given. False with the reason.
  bool listen_on(const std::string& where, const std::string& cert, const std::string& key,
                 std::string& why);
  // "HOST:PORT" as bound.
  const std::string& address() const { return address_; }
  // The next connection (handshake done), or null after `ms` without one.
  std::unique_ptr<connection> accept_one(int ms);

 private:
  int fd_ = -1;
  std::unique_ptr<SSL_CTX, ssl_ctx_free> ctx_;
  std::string address_;
};

}  // namespace wctpsim
