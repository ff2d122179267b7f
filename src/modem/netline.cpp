// Paging terminals reached over TCP or TLS instead of through a modem.
#include "modem/netline.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "common/settings.h"
#include "common/signals.h"
#include "modem/serial.h"

namespace callvane {

namespace {

// Bytes taken from the socket at once; the line functions read one by one.
constexpr size_t READ_CHUNK = 512;

int ms_left(time_limit until) {
  if (!until) return -1;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*until - mono_clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline: 1 ready, 0 time-out, -1 error.
int wait_for(int fd, short events, time_limit until) {
  for (;;) {
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, ms_left(until));
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// A plain TCP connection.
class tcp_channel : public line_channel {
 public:
  explicit tcp_channel(int fd) : fd_(fd) {}

  int read_byte(time_limit until) override {
    while (next_ == buffer_.size()) {
      if (closed_ || wait_for(fd_, POLLIN, until) <= 0) return -1;
      char chunk[READ_CHUNK];
      ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // The peer's end of the stream, or a reset: the line is gone.
        closed_ = true;
        return -1;
      }
      buffer_.assign(chunk, static_cast<size_t>(n));
      next_ = 0;
    }
    return static_cast<unsigned char>(buffer_[next_++]);
  }

  bool write_all(std::string_view bytes, time_limit until) override {
    while (!bytes.empty()) {
      ssize_t w = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (w > 0) {
        bytes.remove_prefix(static_cast<size_t>(w));
      } else if (w < 0 && errno == EINTR) {
        continue;
      } else if (w < 0 && errno == EAGAIN) {
        if (wait_for(fd_, POLLOUT, until) <= 0) return false;
      } else {
        closed_ = true;
        return false;
      }
    }
    return true;
  }

  bool closed() const override { return closed_; }

 private:
  int fd_;
  bool closed_ = false;
  std::string buffer_;
  size_t next_ = 0;
};

struct ssl_ctx_free {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct ssl_free {
  void operator()(SSL* s) const { SSL_free(s); }
};

// A TLS session on a non-blocking socket: every wait is a poll with the
// caller's deadline, so a peer that stops in the middle of a record cannot
// hold a read.
class tls_channel : public line_channel {
 public:
  tls_channel(std::unique_ptr<SSL_CTX, ssl_ctx_free> ctx, std::unique_ptr<SSL, ssl_free> ssl,
              int fd)
      : ctx_(std::move(ctx)), ssl_(std::move(ssl)), fd_(fd) {}

  ~tls_channel() override {
    // The close notice, without waiting for the peer's.
    if (!closed_) {
      sigpipe_blocked quiet;
      SSL_shutdown(ssl_.get());
    }
  }

  int read_byte(time_limit until) override {
    while (!closed_) {
      unsigned char c;
      ERR_clear_error();  // SSL_get_error reads the queue this call leaves
      int n = SSL_read(ssl_.get(), &c, 1);
      if (n == 1) return c;
      if (!wait_again(n, until)) break;
    }
    return -1;
  }

  bool write_all(std::string_view bytes, time_limit until) override {
    sigpipe_blocked quiet;
    while (!bytes.empty() && !closed_) {
      ERR_clear_error();
      int n = SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size()));
      if (n > 0) {
        bytes.remove_prefix(static_cast<size_t>(n));
      } else if (!wait_again(n, until)) {
        return false;
      }
    }
    return bytes.empty();
  }

  bool closed() const override { return closed_; }

  // "TLSv1.3 TLS_AES_256_GCM_SHA384", say.
  std::string agreed() const {
    return std::string(SSL_get_version(ssl_.get())) + " " +
           SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_.get()));
  }

  // Runs the handshake to its end before `until`; "" on success, else why not.
  std::string handshake(time_limit until) {
    sigpipe_blocked quiet;  // the hello may meet a connection already reset
    for (;;) {
      ERR_clear_error();
      int n = SSL_connect(ssl_.get());
      if (n == 1) return "";
      int err = SSL_get_error(ssl_.get(), n);
      int ready = err == SSL_ERROR_WANT_READ    ? wait_for(fd_, POLLIN, until)
                  : err == SSL_ERROR_WANT_WRITE ? wait_for(fd_, POLLOUT, until)
                                                : -2;
      if (ready == 1) continue;
      closed_ = true;
      if (ready == 0) return "timed out";
      long verified = SSL_get_verify_result(ssl_.get());
      if (verified != X509_V_OK) return X509_verify_cert_error_string(verified);
      if (unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        return text;
      }
      return err == SSL_ERROR_SYSCALL && errno != 0 ? strerror(errno) : "connection closed";
    }
  }

 private:
  // After an SSL call that did not complete: true when it may be tried again.
  bool wait_again(int result, time_limit until) {
    int err = SSL_get_error(ssl_.get(), result);
    if (err == SSL_ERROR_WANT_READ) return wait_for(fd_, POLLIN, until) == 1;
    if (err == SSL_ERROR_WANT_WRITE) return wait_for(fd_, POLLOUT, until) == 1;
    closed_ = true;  // the peer's close notice, a reset, or a broken record
    return false;
  }

  std::unique_ptr<SSL_CTX, ssl_ctx_free> ctx_;
  std::unique_ptr<SSL, ssl_free> ssl_;
  int fd_;
  bool closed_ = false;
};

// Connects a non-blocking socket to one address before the deadline; 0 or an errno.
int connect_one(const addrinfo& a, time_limit until, int& fd) {
  fd = socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
  if (fd < 0) return errno;
  int err = 0;
  if (connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
    err = errno;
    if (err == EINPROGRESS) {
      int ready = wait_for(fd, POLLOUT, until);
      socklen_t len = sizeof err;
      if (ready == 0)
        err = ETIMEDOUT;
      else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    }
  }
  if (err != 0) {
    close(fd);
    fd = -1;
    return err;
  }
  // The TAP login and blocks go out in pieces; none may wait for the
  // acknowledgement of the one before.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return 0;
}

// The connected socket to the first address of the host that answers, or -1.
int connect_terminal(const net_device& where, const std::string& shown) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  int gai = getaddrinfo(where.host.c_str(), where.port.c_str(), &hints, &found);
  if (gai != 0) {
    logmsg(LOG_NOTICE, "cannot resolve %s: %s", shown.c_str(),
           gai == EAI_SYSTEM ? strerror(errno) : gai_strerror(gai));
    return -1;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
  int fd = -1, err = EHOSTUNREACH;
  for (const addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next)
    err = connect_one(*a, deadline_after(std::chrono::seconds(NET_CONNECT_SECONDS)), fd);
  if (fd < 0) logmsg(LOG_NOTICE, "cannot connect to %s: %s", shown.c_str(), strerror(err));
  return fd;
}

bool is_ip_literal(const std::string& name) {
  unsigned char addr[16];
  return inet_pton(AF_INET, name.c_str(), addr) == 1 ||
         inet_pton(AF_INET6, name.c_str(), addr) == 1;
}

// A client session that checks the terminal's certificate against the
// trust store (or the modem's CA file) and the expected name.
std::unique_ptr<tls_channel> tls_session(const modem& mdm, const net_device& where, int fd,
                                         std::string& why) {
  std::unique_ptr<SSL_CTX, ssl_ctx_free> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    why = "cannot set up TLS";
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  bool trust = mdm.cafile ? SSL_CTX_load_verify_locations(ctx.get(), mdm.cafile->c_str(), nullptr)
                          : SSL_CTX_set_default_verify_paths(ctx.get());
  std::unique_ptr<SSL, ssl_free> ssl(trust ? SSL_new(ctx.get()) : nullptr);
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
    why = trust ? "cannot set up TLS" : "cannot load the trusted certificates";
    return nullptr;
  }
  const std::string name = mdm.servername.value_or(where.host);
  bool named = is_ip_literal(name)
                   ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), name.c_str()) == 1
                   : SSL_set1_host(ssl.get(), name.c_str()) == 1 &&
                         SSL_set_tlsext_host_name(ssl.get(), name.c_str()) == 1;
  if (!named) {
    why = "bad server name";
    return nullptr;
  }
  return std::make_unique<tls_channel>(std::move(ctx), std::move(ssl), fd);
}

}  // namespace

int open_net_line(const modem& mdm, const net_device& where) {
  const std::string shown = net_device_text(where);
  if (verbose()) logmsg(LOG_DEBUG, "connecting to %s", shown.c_str());
  int fd = connect_terminal(where, shown);
  if (fd < 0) return -1;
  if (!where.tls) {
    attach_channel(fd, std::make_unique<tcp_channel>(fd));
    return fd;
  }
  std::string why;
  std::unique_ptr<tls_channel> tls = tls_session(mdm, where, fd, why);
  if (tls) why = tls->handshake(deadline_after(std::chrono::seconds(NET_CONNECT_SECONDS)));
  if (why.empty()) {
    if (verbose()) logmsg(LOG_DEBUG, "TLS with %s: %s", shown.c_str(), tls->agreed().c_str());
    attach_channel(fd, std::move(tls));
    return fd;
  }
  logmsg(LOG_NOTICE, "TLS with %s failed: %s", shown.c_str(), why.c_str());
  tls.reset();
  close(fd);
  return -1;
}

void close_net_line(int fd) {
  attach_channel(fd, nullptr);
  close(fd);
}

}  // namespace callvane
