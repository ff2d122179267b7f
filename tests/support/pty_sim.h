// Starts the simulated modem and paging terminal (tools/tapsim) for a test.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "support/support.h"

namespace testsupport {

std::string tapsim_path();

class pty_sim {
 public:
  // `args` are tapsim options (the fault script); the record file and a
  // lifetime bound are added here.
  explicit pty_sim(const std::vector<std::string>& args = {});
  ~pty_sim();
  pty_sim(const pty_sim&) = delete;
  pty_sim& operator=(const pty_sim&) = delete;

  // The slave device the program under test opens.
  const std::string& device() const { return device_; }
  // Everything recorded so far.
  std::string record() const;
  // The tab-separated fields of every recorded event of this kind
  // ("dial", "login", "recv", "block", "badsum", "logout", "hangup").
  std::vector<std::vector<std::string>> events(const std::string& kind) const;
  // The simulator's process, for a test that pauses it (SIGSTOP, SIGCONT).
  pid_t pid() const { return pid_; }
  // Stops the simulator (SIGTERM) and waits for it.
  void stop();

 private:
  std::unique_ptr<temp_dir> dir_;
  pid_t pid_ = -1;
  std::string device_;
};

}  // namespace testsupport
