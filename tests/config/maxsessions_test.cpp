// The maxsessions and lines settings: defaults, values, resets.
#include <gtest/gtest.h>

#include "config/config.h"
#include "config/config_fixture.h"

namespace callvane_test {
namespace {

using callvane::maxsessions;

class MaxSessions : public ConfigTest {};

TEST_F(MaxSessions, ValuesAndTheirMeaning) {
  struct row {
    const char* text;
    int expected;
  };
  const row rows[] = {
      {"", callvane::DEFAULT_MAXSESSIONS},  // not given
      {"maxsessions=5\n", 5},
      {"maxsessions=1\n", 1},
      {"maxsessions=0\n", 0},    // no limit
      {"maxsessions=-3\n", 0},   // no limit
      {"maxsessions=abc\n", 0},  // no number is 0
      {"maxsessions=99999999999\n", 2147483647},
      {"maxsessions=7\nmaxsessions=9\n", 9},  // the last one counts
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    load_result res = parse(r.text);
    EXPECT_EQ(0, res.count) << res.log;
    EXPECT_EQ(r.expected, maxsessions);
  }
}

TEST_F(MaxSessions, OnlyInColumnOneAndResetByEveryLoad) {
  load_result res = parse("maxsessions=4\n");
  ASSERT_EQ(4, maxsessions);
  callvane::clear_config();
  EXPECT_EQ(callvane::DEFAULT_MAXSESSIONS, maxsessions) << "a reload starts from the default";
  res = parse(" maxsessions=4\n");
  EXPECT_EQ(callvane::DEFAULT_MAXSESSIONS, maxsessions) << res.log;
}

// Lines outside 1..64 are an error and leave the setting as it was.
TEST_F(MaxSessions, LinesFromOneToSixtyFour) {
  struct row {
    const char* text;
    int expected;
    const char* error;
  };
  const row rows[] = {
      {"", 1, ""},
      {"lines=4\n", 4, ""},
      {"lines=64\n", 64, ""},
      {"lines=0\n", 1, "(1): lines must be from 1 to 64: 0\n"},
      {"lines=2\nlines=65\n", 2, "(2): lines must be from 1 to 64: 65\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    load_result res = parse(r.text);
    EXPECT_EQ(r.error[0] ? 1 : 0, res.count);
    if (r.error[0] == '\0')
      EXPECT_EQ("", res.log);
    else
      EXPECT_TRUE(testsupport::contains(res.log, std::string("/test.conf") + r.error));
    EXPECT_EQ(r.expected, callvane::lines);
  }
}

}  // namespace
}  // namespace callvane_test
