// Ident servers for tests: the scripted tools/identpeer and Debian's oidentd.
#pragma once

#include <sys/types.h>

#include <string>

namespace identpeer {

// tools/identpeer serving one client on 0.0.0.0:`port` or, where there is
// IPv6, [::]:`port` (see its usage):
// mode "answer", "hold" or "silent", with `answer` sent byte for byte.
class scripted {
 public:
  scripted(const std::string& mode, const std::string& answer, int port = 113);
  ~scripted();
  scripted(const scripted&) = delete;
  scripted& operator=(const scripted&) = delete;
  // Waits (bounded) for the server to end and returns the query it got.
  std::string finish();

 private:
  pid_t pid_ = -1;
  std::string dir_;
};

// oidentd in the foreground on 127.0.0.1:113, answering from the kernel's
// connection table; stopped when destroyed.
class oidentd {
 public:
  oidentd();
  ~oidentd();
  oidentd(const oidentd&) = delete;
  oidentd& operator=(const oidentd&) = delete;
  // False when the server could not be started (the reason in `why`).
  bool running(std::string& why) const;

 private:
  pid_t pid_ = -1;
  std::string why_;
};

}  // namespace identpeer
