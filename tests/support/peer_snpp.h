// A small SNPP server on one address of either family, for client tests.
#pragma once

#include <sys/types.h>

#include <string>

namespace testsupport {

// Serves one client on `address` (IPv4 or IPv6 text) and `port`: 220, 354
// for DATA, 221 for QUIT, else 250, and records what the client sent. The
// socket listens before the constructor returns; the server never lives
// beyond 20 s.
class snpp_peer {
 public:
  explicit snpp_peer(const std::string& address, int port = 444);
  ~snpp_peer();
  snpp_peer(const snpp_peer&) = delete;
  snpp_peer& operator=(const snpp_peer&) = delete;

  bool listening() const { return pid_ > 0; }
  // What the client sent, once the server has ended (bounded).
  std::string finish();

 private:
  pid_t pid_ = -1;
  int record_ = -1;
};

}  // namespace testsupport
