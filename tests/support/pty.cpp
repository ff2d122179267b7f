// Opening a pseudo-terminal pair and talking on its master side.
#include "support/pty.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>

namespace testsupport {

pty_pair::pty_pair(bool raw) {
  master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) abort();
  slave_name = ptsname(master);
  if (!raw) return;
  int s = open_slave();
  termios t{};
  tcgetattr(s, &t);
  cfmakeraw(&t);
  tcsetattr(s, TCSANOW, &t);
  close(s);
}

pty_pair::~pty_pair() { close(master); }

int pty_pair::open_slave() const { return open(slave_name.c_str(), O_RDWR | O_NOCTTY); }

void pty_pair::say(const std::string& bytes) const {
  ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string pty_pair::heard() const {
  std::string out;
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) break;
    char buf[256];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace testsupport
