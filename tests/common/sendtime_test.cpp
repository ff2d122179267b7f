// Delivery times: two-digit years, hold-until stamps and -a times.
#include "common/sendtime.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "support/support.h"

namespace callvane {
namespace {

using testsupport::utc;

std::string two(int v) {
  char buf[8];
  snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

// "YYMMDDhhmmss" for a full year.
std::string stamp(int year, int mon, int day, int hour, int min, int sec) {
  return two(year % 100) + two(mon) + two(day) + two(hour) + two(min) + two(sec);
}

// Each test runs in a time zone of its own choice; the old one comes back.
class TimeZone : public ::testing::Test {
 protected:
  // A fixed zone `offset` seconds east of UTC ("XYZ-hh:mm:ss" in POSIX).
  void zone_east(int offset) {
    char buf[64];
    int a = offset < 0 ? -offset : offset;
    snprintf(buf, sizeof buf, "XYZ%c%d:%02d:%02d", offset < 0 ? '+' : '-', a / 3600, a / 60 % 60,
             a % 60);
    set_zone(buf);
  }
  void set_zone(const char* tz) {
    zone_.reset();  // back to the saved zone first, so that it is the one restored
    zone_.emplace(tz);
  }
  // A fixed zone in which the local time of day is now `tod` seconds after
  // midnight, and its offset.
  int zone_at(int tod) {
    int64_t now = time(nullptr);
    int offset = static_cast<int>(((tod - now % 86400) % 86400 + 86400) % 86400);
    zone_east(offset);
    return offset;
  }
  static int current_year() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
  }

 private:
  std::optional<testsupport::time_zone> zone_;
};

// Calls `f` until the clock did not move to another second meanwhile, so an
// expectation computed from `now` is exact. Gives (now, result).
std::pair<int64_t, int64_t> at_one_second(const std::function<int64_t()>& f) {
  for (;;) {
    int64_t before = time(nullptr);
    int64_t result = f();
    if (time(nullptr) == before) return {before, result};
  }
}

// ------------------------------------------------------------------ full_year

TEST(FullYear, NearestCenturyAroundTheCurrentYear) {
  EXPECT_EQ(2026, full_year(26, 2026));
  EXPECT_EQ(2027, full_year(27, 2026));
  EXPECT_EQ(2025, full_year(25, 2026));
  EXPECT_EQ(2075, full_year(75, 2026));
  EXPECT_EQ(1977, full_year(77, 2026));
  EXPECT_EQ(2000, full_year(0, 2026));
}

TEST(FullYear, AcrossACenturyBoundary) {
  EXPECT_EQ(1999, full_year(99, 2000));
  EXPECT_EQ(2000, full_year(0, 1999));
  EXPECT_EQ(2001, full_year(1, 1999));
  EXPECT_EQ(2098, full_year(98, 2099));
  EXPECT_EQ(2100, full_year(0, 2099));
  EXPECT_EQ(2101, full_year(1, 2100));
  EXPECT_EQ(2099, full_year(99, 2100));
  EXPECT_EQ(2199, full_year(99, 2200));
}

TEST(FullYear, ResultIsAlwaysWithinFiftyYears) {
  for (int year = 1950; year <= 2150; year++) {
    for (int yy = 0; yy < 100; yy++) {
      int full = full_year(yy, year);
      ASSERT_EQ(yy, full % 100) << yy << " " << year;
      ASSERT_LE(std::abs(full - year), 50) << yy << " " << year;
    }
  }
  // Exactly fifty years either way: the later one.
  EXPECT_EQ(2100, full_year(0, 2050));
}

// ------------------------------------------------------------- parse_holduntil

TEST_F(TimeZone, HoldUntilInUtc) {
  set_zone("UTC0");
  int y = current_year();
  EXPECT_EQ(utc(y, 12, 24, 17, 30, 15), parse_holduntil(stamp(y, 12, 24, 17, 30, 15)));
  EXPECT_EQ(utc(y + 1, 1, 2, 3, 4, 5), parse_holduntil(stamp(y + 1, 1, 2, 3, 4, 5)));
  EXPECT_EQ(utc(y - 1, 6, 30, 0, 0, 0), parse_holduntil(stamp(y - 1, 6, 30, 0, 0, 0)));
}

TEST_F(TimeZone, HoldUntilInALocalZone) {
  zone_east(2 * 3600);
  int y = current_year();
  EXPECT_EQ(utc(y, 3, 1, 12, 0, 0) - 7200, parse_holduntil(stamp(y, 3, 1, 12, 0, 0)));
  // Daylight saving is left to the system: summer and winter differ.
  set_zone("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(utc(y, 7, 4, 16, 0, 0), parse_holduntil(stamp(y, 7, 4, 12, 0, 0)));
  EXPECT_EQ(utc(y, 1, 15, 17, 0, 0), parse_holduntil(stamp(y, 1, 15, 12, 0, 0)));
}

TEST_F(TimeZone, HoldUntilRefusesMalformedTexts) {
  set_zone("UTC0");
  int y = current_year();
  std::string good = stamp(y, 5, 6, 7, 8, 9);
  EXPECT_EQ(-1, parse_holduntil(good.substr(0, 11)));
  EXPECT_EQ(-1, parse_holduntil(""));
  EXPECT_EQ(-1, parse_holduntil(good.substr(0, 5) + "x" + good.substr(6)));
  EXPECT_EQ(-1, parse_holduntil(good.substr(0, 11) + " "));
  EXPECT_EQ(-1, parse_holduntil(good + "+0100"));
  EXPECT_EQ(-1, parse_holduntil(good + "0"));
  EXPECT_EQ(-1, parse_holduntil(" " + good));
  EXPECT_EQ(-1, parse_holduntil("-" + good.substr(1)));
}

TEST_F(TimeZone, HoldUntilRanges) {
  set_zone("UTC0");
  int y = current_year();
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 0, 10, 10, 10, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 13, 10, 10, 10, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 0, 10, 10, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 32, 10, 10, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 10, 25, 10, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 10, 10, 61, 10)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 10, 10, 10, 61)));
  EXPECT_EQ(-1, parse_holduntil(stamp(y, 10, 10, 99, 99, 99)));
  // The upper values are accepted and carried into the next unit.
  EXPECT_EQ(utc(y, 10, 11, 0, 0, 0), parse_holduntil(stamp(y, 10, 10, 24, 0, 0)));
  EXPECT_EQ(utc(y, 10, 10, 11, 0, 0), parse_holduntil(stamp(y, 10, 10, 10, 60, 0)));
  EXPECT_EQ(utc(y, 10, 10, 10, 11, 0), parse_holduntil(stamp(y, 10, 10, 10, 10, 60)));
  EXPECT_EQ(utc(y, 5, 1, 8, 0, 0), parse_holduntil(stamp(y, 4, 31, 8, 0, 0)));
  EXPECT_EQ(utc(y, 1, 1, 0, 0, 0), parse_holduntil(stamp(y, 1, 1, 0, 0, 0)));
  EXPECT_EQ(utc(y, 12, 31, 23, 59, 59), parse_holduntil(stamp(y, 12, 31, 23, 59, 59)));
}

TEST_F(TimeZone, HoldUntilHourTwentyFourCrossesTheYear) {
  zone_east(-3 * 3600);
  int y = current_year();
  EXPECT_EQ(utc(y + 1, 1, 1, 0, 0, 0) + 3 * 3600, parse_holduntil(stamp(y, 12, 31, 24, 0, 0)));
  EXPECT_EQ(utc(y + 1, 1, 1, 0, 0, 0) + 3 * 3600, parse_holduntil(stamp(y, 12, 31, 23, 59, 60)));
}

TEST_F(TimeZone, HoldUntilTrailingWhitespaceIsIgnored) {
  set_zone("UTC0");
  int y = current_year();
  std::string good = stamp(y, 8, 9, 10, 11, 12);
  int64_t plain = parse_holduntil(good);
  ASSERT_NE(-1, plain);
  EXPECT_EQ(plain, parse_holduntil(good + "   "));
  EXPECT_EQ(plain, parse_holduntil(good + " \t\r\n"));
}

TEST_F(TimeZone, HoldUntilGmtDifferenceInWholeHours) {
  set_zone("UTC0");
  int y = current_year();
  std::string good = stamp(y, 8, 9, 10, 0, 0);
  int64_t base = utc(y, 8, 9, 10, 0, 0);
  EXPECT_EQ(-1, parse_holduntil(good + " +0530"));
  EXPECT_EQ(-1, parse_holduntil(good + " -0050"));
  EXPECT_EQ(base + 5 * 3600, parse_holduntil(good + " -0500"));
  EXPECT_EQ(base - 3600, parse_holduntil(good + " +0100"));
  EXPECT_EQ(base - 3600, parse_holduntil(good + "\t100"));
  EXPECT_EQ(base, parse_holduntil(good + " +0000"));
  // Read as atoi does: what follows the number, or a text without one.
  EXPECT_EQ(base - 2 * 3600, parse_holduntil(good + " +0200 CEST"));
  EXPECT_EQ(base, parse_holduntil(good + " GMT"));
  // A difference that moves the time across midnight.
  EXPECT_EQ(utc(y, 8, 10, 1, 0, 0), parse_holduntil(stamp(y, 8, 9, 23, 0, 0) + " -0200"));
  EXPECT_EQ(utc(y, 8, 8, 22, 0, 0), parse_holduntil(stamp(y, 8, 9, 1, 0, 0) + " +0300"));
}

TEST_F(TimeZone, HoldUntilGmtDifferenceInANonUtcZone) {
  zone_east(3600);
  int y = current_year();
  std::string noon = stamp(y, 2, 3, 12, 0, 0);
  // The given time is converted to UTC, then shown in the local zone.
  EXPECT_EQ(utc(y, 2, 3, 12, 0, 0), parse_holduntil(noon + " +0000"));
  EXPECT_EQ(utc(y, 2, 3, 17, 0, 0), parse_holduntil(noon + " -0500"));
  EXPECT_EQ(utc(y, 2, 3, 11, 0, 0), parse_holduntil(noon + " +0100"));
  zone_east(-8 * 3600);
  EXPECT_EQ(utc(y, 2, 3, 12, 0, 0), parse_holduntil(noon + " +0000"));
  EXPECT_EQ(utc(y, 2, 3, 3, 0, 0), parse_holduntil(noon + " +0900"));
}

TEST_F(TimeZone, HoldUntilLocalOffsetIsTruncatedTowardZero) {
  // 3.5 hours west counts as 3 whole hours, 5.5 east as 5.
  zone_east(-(3 * 3600 + 1800));
  int y = current_year();
  std::string noon = stamp(y, 2, 3, 12, 0, 0);
  EXPECT_EQ(utc(y, 2, 3, 12, 30, 0), parse_holduntil(noon + " +0000"));
  zone_east(5 * 3600 + 1800);
  EXPECT_EQ(utc(y, 2, 3, 11, 30, 0), parse_holduntil(noon + " +0000"));
}

TEST_F(TimeZone, HoldUntilHugeDifferenceIsRefusedOrConverted) {
  set_zone("UTC0");
  int y = current_year();
  std::string good = stamp(y, 8, 9, 10, 0, 0);
  EXPECT_EQ(-1, parse_holduntil(good + " 99999999999999999999999900"));
  EXPECT_EQ(utc(y, 8, 9, 10, 0, 0) - 100 * 3600, parse_holduntil(good + " 10000"));
}

// -------------------------------------------------------------- parse_sendtime

TEST_F(TimeZone, SendTimeDelays) {
  zone_at(10 * 3600);
  auto [now, r1] = at_one_second([] { return parse_sendtime("+30"); });
  EXPECT_EQ(now + 30 * 60, r1);
  auto [now2, r2] = at_one_second([] { return parse_sendtime("+130"); });
  EXPECT_EQ(now2 + 90 * 60, r2);
  auto [now3, r3] = at_one_second([] { return parse_sendtime("+"); });
  EXPECT_EQ(now3, r3);
  auto [now4, r4] = at_one_second([] { return parse_sendtime("+1+0000"); });
  EXPECT_EQ(now4 + 86400, r4);
  auto [now5, r5] = at_one_second([] { return parse_sendtime("+2+0015"); });
  EXPECT_EQ(now5 + 2 * 86400 + 15 * 60, r5);
  // No range check: 99 minutes is 1 hour 39.
  auto [now6, r6] = at_one_second([] { return parse_sendtime("+0099"); });
  EXPECT_EQ(now6 + 99 * 60, r6);
}

// Local midnight that began the current day in the zone `offset` east.
int64_t midnight_of(int64_t now, int offset) { return (now + offset) / 86400 * 86400 - offset; }

TEST_F(TimeZone, SendTimeClockBeforeAndAfterNow) {
  int offset = zone_at(10 * 3600);  // 10:00 local
  auto [now, later] = at_one_second([] { return parse_sendtime("1730"); });
  int64_t midnight = midnight_of(now, offset);
  EXPECT_EQ(midnight + 17 * 3600 + 30 * 60, later);
  auto [now2, passed] = at_one_second([] { return parse_sendtime("0930"); });
  EXPECT_EQ(midnight_of(now2, offset) + 86400 + 9 * 3600 + 30 * 60, passed);
  auto [now3, five] = at_one_second([] { return parse_sendtime("5"); });
  EXPECT_EQ(midnight_of(now3, offset) + 86400 + 5 * 60, five);
  auto [now4, empty] = at_one_second([] { return parse_sendtime(""); });
  EXPECT_EQ(midnight_of(now4, offset) + 86400, empty);
  auto [now5, ninety] = at_one_second([] { return parse_sendtime("0090"); });
  EXPECT_EQ(midnight_of(now5, offset) + 86400 + 90 * 60, ninety);
}

TEST_F(TimeZone, SendTimeJustAfterMidnight) {
  int offset = zone_at(5 * 60);  // 00:05 local
  auto [now, ninety] = at_one_second([] { return parse_sendtime("0090"); });
  EXPECT_EQ(midnight_of(now, offset) + 90 * 60, ninety);
  auto [now2, ten] = at_one_second([] { return parse_sendtime("10"); });
  EXPECT_EQ(midnight_of(now2, offset) + 10 * 60, ten);
  auto [now3, one] = at_one_second([] { return parse_sendtime("1"); });
  EXPECT_EQ(midnight_of(now3, offset) + 86400 + 60, one);
}

TEST_F(TimeZone, SendTimeJustBeforeMidnight) {
  int offset = zone_at(23 * 3600 + 59 * 60 + 30);  // 23:59:30 local
  auto [now, midnight] = at_one_second([] { return parse_sendtime("0000"); });
  int64_t coming = midnight_of(now, offset) + 86400;
  EXPECT_EQ(coming, midnight);
  EXPECT_GT(midnight, now);
  EXPECT_LE(midnight - now, 60);
  auto [now2, empty] = at_one_second([] { return parse_sendtime(""); });
  EXPECT_EQ(midnight_of(now2, offset) + 86400, empty);
  auto [now3, minute_ago] = at_one_second([] { return parse_sendtime("2359"); });
  EXPECT_EQ(midnight_of(now3, offset) + 86400 + 23 * 3600 + 59 * 60, minute_ago);
  // One day and no time: the coming midnight too (not earlier than now).
  auto [now4, day] = at_one_second([] { return parse_sendtime("1+0000"); });
  EXPECT_EQ(midnight_of(now4, offset) + 86400, day);
  auto [now5, soon] = at_one_second([] { return parse_sendtime("+1"); });
  EXPECT_EQ(now5 + 60, soon);
}

TEST_F(TimeZone, SendTimeDayCounts) {
  int offset = zone_at(10 * 3600);
  auto [now, r] = at_one_second([] { return parse_sendtime("2+0900"); });
  EXPECT_EQ(midnight_of(now, offset) + 2 * 86400 + 9 * 3600, r);
  auto [now2, r2] = at_one_second([] { return parse_sendtime("1+"); });
  EXPECT_EQ(midnight_of(now2, offset) + 86400, r2);
  // Only the number before the "+" counts, read as atoi does.
  auto [now3, r3] = at_one_second([] { return parse_sendtime("3x+1200"); });
  EXPECT_EQ(midnight_of(now3, offset) + 3 * 86400 + 12 * 3600, r3);
  auto [now4, r4] = at_one_second([] { return parse_sendtime("400+0000"); });
  EXPECT_EQ(midnight_of(now4, offset) + 400LL * 86400, r4);
  // Zero days at a passed time still moves to tomorrow.
  auto [now5, r5] = at_one_second([] { return parse_sendtime("0+0800"); });
  EXPECT_EQ(midnight_of(now5, offset) + 86400 + 8 * 3600, r5);
}

TEST_F(TimeZone, SendTimeRefusedTexts) {
  zone_at(10 * 3600);
  for (const char* bad : {"12345", "12a4", "+12345", "+1a", "x+0900", "+-5", "-5", " 1730", "1730 ",
                          "2+09000", "2+09:0", "++30", "1+2+3"})
    EXPECT_EQ(-1, parse_sendtime(bad)) << bad;
  // Day counts too large for any sensible time are refused, not wrapped.
  EXPECT_EQ(-1, parse_sendtime("99999999999999999999+0000"));
  EXPECT_EQ(-1, parse_sendtime("4294967296+0000"));
}

TEST_F(TimeZone, SendTimeTakesHoldUntilTextsUnchanged) {
  set_zone("UTC0");
  int y = current_year();
  // Even a time in the past comes back as it is.
  std::string past = stamp(y - 1, 1, 1, 0, 0, 0);
  EXPECT_EQ(utc(y - 1, 1, 1, 0, 0, 0), parse_sendtime(past));
  std::string future = stamp(y + 1, 6, 7, 8, 9, 10);
  EXPECT_EQ(utc(y + 1, 6, 7, 9, 9, 10), parse_sendtime(future + " -0100"));
  EXPECT_EQ(parse_holduntil(future), parse_sendtime(future));
}

}  // namespace
}  // namespace callvane
