// Shared set-up for the configuration tests: a fresh configuration, the log
// captured, and files written into a temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "common/settings.h"
#include "config/config.h"
#include "config/loader.h"
#include "queue/spool.h"
#include "support/support.h"

namespace callvane_test {

struct load_result {
  int count;
  std::string log;
};

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = callvane::debug;
    saved_interactive_ = callvane::interactive;
    char buf[4096];
    if (getcwd(buf, sizeof buf)) cwd_ = buf;
    callvane::debug = 1;
    callvane::interactive = false;
    callvane::clear_config();
    callvane::pidfile.reset();
    callvane::sigfile.reset();
    callvane::synchronous = 1;
  }
  void TearDown() override {
    callvane::clear_config();
    callvane::pidfile.reset();
    callvane::sigfile.reset();
    callvane::synchronous = 1;
    callvane::debug = saved_debug_;
    callvane::interactive = saved_interactive_;
    if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) ADD_FAILURE() << "cannot restore cwd";
  }

  // Writes `name` and parses it into an empty configuration (no directory
  // checks): the parser's own count and everything it logged.
  load_result parse(const std::string& text, const std::string& name = "test.conf") {
    std::string path = dir_.write(name, text);
    callvane::clear_config();
    testsupport::capture_fd cap(2);
    int n = callvane::parse_config(path);
    return {n, cap.finish()};
  }

  // A whole load through load_config_and_spool, as the program does it.
  load_result load(const std::string& path) {
    testsupport::capture_fd cap(2);
    int n = callvane::load_config_and_spool(path);
    return {n, cap.finish()};
  }

  // Expects `message` in the log, about `line` of the file `name`.
  void expect_logged(const load_result& r, int line, const std::string& message,
                     const std::string& name = "test.conf") const {
    EXPECT_TRUE(testsupport::contains(r.log, at(line, name) + message));
  }
  void expect_logged(const load_result& r, const std::string& message) const {
    EXPECT_TRUE(testsupport::contains(r.log, message));
  }

  std::string path(const std::string& name) const { return dir_.file(name); }
  // Prefix of a log line about `line` of the file `name`.
  std::string at(int line, const std::string& name = "test.conf") const {
    return dir_.file(name) + "(" + std::to_string(line) + "): ";
  }

  testsupport::temp_dir dir_;

 private:
  int saved_debug_ = 0;
  bool saved_interactive_ = false;
  std::string cwd_;
};

// Modem and default service lines that make later services and pagers valid.
inline const char BASE[] =
    "modem=m1 device=/dev/null\n"   // line 1
    "service=default\n"             // line 2
    "\tdevice=m1 phone=5550100\n";  // line 3

// Number of times `needle` occurs in `hay`.
inline int occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
    n++;
  return n;
}

}  // namespace callvane_test
