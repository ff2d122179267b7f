// A private network and mount namespace for tests, with SNPP peers.
#pragma once

#include <sys/types.h>

#include <string>

namespace sandbox {

// Moves this process into fresh network and mount namespaces (once), with
// the loopback interface up, a private /usr/local/etc, a services database
// that maps snpp to 444 and a resolver that fails at once. False (with the
// reason) when that is not possible here.
bool enter(std::string& why);

// Shows `contents` at `target` with `mode` until destroyed (a bind mount).
class file_override {
 public:
  file_override(const std::string& target, const std::string& contents, mode_t mode = 0644);
  ~file_override();
  file_override(const file_override&) = delete;
  file_override& operator=(const file_override&) = delete;

 private:
  std::string target_;
  std::string source_;
};

// A test SNPP server on 127.0.0.1 that serves one client.
class peer {
 public:
  // The scripted server (see tools/snpppeer) on `port`.
  static peer scripted(const std::string& script, int port = 444);
  // Net::SNPP::Server on port 444.
  static peer netsnpp();
  peer(peer&& other) noexcept;
  ~peer();
  // Waits for the server to finish and returns what it recorded.
  std::string finish();

 private:
  peer() = default;
  void start(const std::string& program, const std::string& port, const std::string& script);
  pid_t pid_ = -1;
  std::string dir_;
  std::string log_;
};

}  // namespace sandbox
