// The fixture of daemon tests: root, a private namespace and a spool.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/daemon_run.h"
#include "support/sandbox.h"

namespace testsupport {

class sandboxed_daemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << why;
  }
  daemon_setup setup_;
};

}  // namespace testsupport
