// A pseudo-terminal pair for tests that play the far end of a line.
#pragma once

#include <string>

namespace testsupport {

// The test holds the master side; the code under test opens the slave.
struct pty_pair {
  // With `raw` the slave is made raw until the code under test sets it up.
  explicit pty_pair(bool raw = true);
  ~pty_pair();
  pty_pair(const pty_pair&) = delete;
  pty_pair& operator=(const pty_pair&) = delete;

  int open_slave() const;
  // Writes `bytes` to the master side (a test failure when short).
  void say(const std::string& bytes) const;
  // What the code under test wrote, waiting briefly for it.
  std::string heard() const;

  int master = -1;
  std::string slave_name;
};

}  // namespace testsupport
