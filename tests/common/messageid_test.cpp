#include "common/messageid.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ctime>
#include <string>

#include "support/support.h"

namespace callvane {
namespace {

using testsupport::utc;

TEST(MessageId, FromMonthDayHourMinuteAndCounter) {
  EXPECT_EQ("LHBx042", make_messageid(utc(2026, 12, 8, 1, 49), 42));
  EXPECT_EQ("AAAA000", make_messageid(utc(2027, 1, 1, 0, 0), 0));
  EXPECT_EQ("LeX7999", make_messageid(utc(2026, 12, 31, 23, 59), 999));
  EXPECT_EQ("BbFa007", make_messageid(utc(2028, 2, 28, 5, 26), 7));
  EXPECT_EQ("CeA3120", make_messageid(utc(2024, 3, 31, 0, 55), 120));
  // Seconds do not matter; the counter wraps at 1000.
  EXPECT_EQ(make_messageid(utc(2026, 3, 4, 5, 6), 1),
            make_messageid(utc(2026, 3, 4, 5, 6) + 59, 1001));
}

TEST(MessageId, CalendarUsesUtcWhateverTheZone) {
  const char* old = getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "XYZ-9", 1);
  tzset();
  std::string id = make_messageid(utc(2026, 12, 8, 1, 49), 42);
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ("LHBx042", id);
}

TEST(MessageId, UnconvertibleTimeStaysInTheAlphabet) {
  std::string id = make_messageid(INT64_MAX, 5);
  ASSERT_EQ(7u, id.size());
  for (int i = 0; i < 4; i++) EXPECT_TRUE(isalnum(static_cast<unsigned char>(id[i]))) << id;
  EXPECT_EQ("005", id.substr(4));
}

int counter_of(const std::string& id) { return std::stoi(id.substr(4)); }

TEST(MessageId, CounterAdvancesByOneModuloThousand) {
  int64_t before = time(nullptr);
  std::string first = new_messageid();
  int64_t after = time(nullptr);
  ASSERT_EQ(7u, first.size());
  int start = counter_of(first);
  EXPECT_TRUE(first == make_messageid(before, static_cast<unsigned>(start)) ||
              first == make_messageid(after, static_cast<unsigned>(start)))
      << first;
  int previous = start;
  for (int i = 1; i <= 1000; i++) {
    std::string id = new_messageid();
    ASSERT_EQ(7u, id.size());
    int value = counter_of(id);
    ASSERT_EQ((previous + 1) % 1000, value) << id;
    previous = value;
  }
  EXPECT_EQ(start, previous);
}

}  // namespace
}  // namespace callvane
