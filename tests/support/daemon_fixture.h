// The fixture of daemon tests: root, a private namespace and a spool.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/daemon_run.h"
#include "support/sandbox.h"

namespace testsupport {

// Tests that run as root in a private network and mount namespace.
class sandboxed_test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << why;
  }
};

class sandboxed_daemon : public sandboxed_test {
 protected:
  daemon_setup setup_;
};

}  // namespace testsupport
