// A spool directory as the current directory, with log capture.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <string>
#include <vector>

#include "common/settings.h"
#include "config/config.h"
#include "support/support.h"

namespace queuefile_test {

class QueueFileSpool : public ::testing::Test {
 protected:
  void SetUp() override {
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    saved_cwd_ = cwd;
    ASSERT_EQ(0, chdir(spool_.path().c_str()));
    callvane::administrator.reset();
    callvane::debug = 1;
  }
  void TearDown() override {
    callvane::debug = 0;
    if (chdir(saved_cwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_cwd_;
  }

  // Every name in the spool, sorted.
  static std::vector<std::string> entries() {
    std::vector<std::string> names = testsupport::dir_names(".", true);
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::vector<std::string> entries_starting(char first) {
    std::vector<std::string> names;
    for (const std::string& n : entries())
      if (n[0] == first) names.push_back(n);
    return names;
  }

  // What `body` logs (debug mode sends log lines to standard error).
  static std::string logged(const std::function<void()>& body) {
    testsupport::capture_fd cap(2);
    body();
    return cap.finish();
  }

  static void put(const std::string& name, const std::string& contents) {
    FILE* f = fopen(name.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(contents.size(), fwrite(contents.data(), 1, contents.size(), f));
    ASSERT_EQ(0, fclose(f));
  }

  testsupport::temp_dir spool_;

 private:
  std::string saved_cwd_;
};

}  // namespace queuefile_test
