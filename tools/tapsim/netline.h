// The simulator's side of a paging terminal reached over TCP or TLS.
#pragma once

#include <signal.h>

#include <memory>
#include <string>

#include "line.h"

namespace callvane::tapsim {

class net_end : public line_end {
 public:
  explicit net_end(const volatile sig_atomic_t& stop);
  ~net_end() override;
  net_end(const net_end&) = delete;
  net_end& operator=(const net_end&) = delete;

  // Listens on "HOST:PORT" ("[::1]:PORT" for IPv6; port 0 picks one). With a
  // certificate and key (PEM files) every connection speaks TLS. False with
  // the reason in `why`.
  bool listen_on(const std::string& where, const std::string& cert, const std::string& key,
                 std::string& why);
  // "HOST:PORT" as bound, the port filled in.
  const std::string& address() const { return address_; }

  bool wait(int ms) override;
  int take() override;
  std::string drain() override;
  void send(const std::string& s) override;
  void pause(int ms) override;
  speed_t speed() const override;
  void idle() override;
  bool occupied() const override { return conn_ >= 0; }
  bool answered() override;
  traffic take_traffic() override;
  std::string caller() const override { return peer_; }

 private:
  // Takes the next waiting connection (and its handshake); false for none.
  bool accept_one(int ms);
  void drop();
  // Reads what the connection has; false when it has closed.
  bool fill();

  struct tls_state;
  const volatile sig_atomic_t& stop_;
  int listener_ = -1;
  int conn_ = -1;
  bool fresh_ = false;
  bool gone_ = false;  // the caller closed; its last bytes may be unread
  std::string address_, peer_;
  std::string unread_;
  size_t next_ = 0;
  traffic traffic_;
  std::unique_ptr<tls_state> tls_;
};

}  // namespace callvane::tapsim
