// Duty schedules, recipients for names given by clients, and the group
// expansion of interactive mode.
#include "config/groups.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iterator>

#include "config_fixture.h"
#include "support/support.h"

using namespace callvane;
using callvane_test::ConfigTest;

namespace {

// Local time of the given day and clock time; 2024-01-01 is a Monday.
int64_t local(int year, int month, int day, int hour, int minute) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&tm));
}

// Monday 2024-01-01 plus `offset` days.
int64_t weekday(int offset, int hour, int minute) {
  return local(2024, 1, 1 + offset, hour, minute);
}

std::optional<std::string> sched(const char* s) { return std::string(s); }

}  // namespace

class ScheduleTest : public ConfigTest {
 protected:
  testsupport::time_zone tz_{"UTC0"};
};

TEST_F(ScheduleTest, NoScheduleIsAlwaysOnDuty) {
  EXPECT_EQ(on_duty(std::nullopt, weekday(5, 3, 0)), 1);
  EXPECT_EQ(on_duty(std::nullopt, 0), 1);
}

TEST_F(ScheduleTest, WorkingWeekWithInclusiveEnds) {
  auto s = sched("MoTuWeThFr0800-1700");
  EXPECT_EQ(on_duty(s, weekday(5, 10, 0)), 0) << "Saturday";
  EXPECT_EQ(on_duty(s, weekday(6, 10, 0)), 0) << "Sunday";
  EXPECT_EQ(on_duty(s, weekday(0, 17, 0)), 1) << "the end is included";
  EXPECT_EQ(on_duty(s, weekday(0, 17, 1)), 0);
  EXPECT_EQ(on_duty(s, weekday(0, 8, 0)), 1) << "the start is included";
  EXPECT_EQ(on_duty(s, weekday(0, 7, 59)), 0);
  for (int d = 0; d < 5; d++) EXPECT_EQ(on_duty(s, weekday(d, 12, 0)), 1) << d;
}

TEST_F(ScheduleTest, EachWeekdayByItsAbbreviation) {
  const char* names[] = {"Mo", "Tu", "We", "Th", "Fr", "Sa", "Su"};
  for (int listed = 0; listed < 7; listed++) {
    std::string s = std::string(names[listed]) + "0000-2400";
    for (int day = 0; day < 7; day++)
      EXPECT_EQ(on_duty(s, weekday(day, 12, 0)), day == listed ? 1 : 0) << s << " day " << day;
  }
}

TEST_F(ScheduleTest, WholeDayAndNoWrapPastMidnight) {
  for (const char* whole : {"Any0000-2400", "Any2400-0000", "Any2400-2400", "Any0000-0000"}) {
    EXPECT_EQ(on_duty(sched(whole), weekday(2, 0, 0)), 1) << whole;
    EXPECT_EQ(on_duty(sched(whole), weekday(2, 23, 59)), 1) << whole;
  }
  auto night = sched("Any2200-0600");
  for (int hour : {0, 3, 6, 12, 22, 23}) EXPECT_EQ(on_duty(night, weekday(4, hour, 0)), 0) << hour;
  // The days are searched anywhere in the text, even behind the times.
  EXPECT_EQ(on_duty(sched("x0900-1000 Sa"), weekday(5, 9, 30)), 1);
  EXPECT_EQ(on_duty(sched("x0900-1000 Sa"), weekday(4, 9, 30)), 0);
}

TEST_F(ScheduleTest, LowerCaseDaysAreValidButNeverOnDuty) {
  auto s = sched("momotutu0000-2400");
  for (int d = 0; d < 7; d++) EXPECT_EQ(on_duty(s, weekday(d, 12, 0)), 0);
  EXPECT_TRUE(valid_schedule("any0000-2400"));
}

TEST_F(ScheduleTest, InvalidSchedules) {
  for (const char* bad : {"0800-1700", "Mo", "Mo0800", "Mo0800-", "Mo0800_1700", "Mo-", ""}) {
    EXPECT_FALSE(valid_schedule(bad)) << bad;
    testsupport::capture_fd cap(2);
    EXPECT_EQ(on_duty(sched(bad), weekday(0, 12, 0)), -1) << bad;
    EXPECT_EQ(cap.finish(), std::string("invalid schedule: ") + bad + "\n");
  }
  EXPECT_TRUE(valid_schedule("Mo0800-1700trailing"));
}

TEST_F(ScheduleTest, UsesLocalTime) {
  testsupport::time_zone est("EST5");
  // Monday 17:00 in New York is 22:00 UTC.
  int64_t when = weekday(0, 17, 0);
  EXPECT_EQ(when, local(2024, 1, 1, 17, 0));
  EXPECT_EQ(on_duty(sched("Mo1700-1700"), when), 1);
  EXPECT_EQ(on_duty(sched("Mo2200-2200"), when), 0);
}

TEST_F(ScheduleTest, ZeroMeansNow) {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  const char* days[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
  std::string today = std::string(days[tm.tm_wday]) + "0000-2400";
  std::string other = std::string(days[(tm.tm_wday + 3) % 7]) + "0000-2400";
  EXPECT_EQ(on_duty(today, 0), 1);
  EXPECT_EQ(on_duty(other, 0), 0);
}

class RecipientTest : public ConfigTest {
 protected:
  void SetUp() override {
    ConfigTest::SetUp();
    auto r = parse(
        "modem=m1 device=/dev/null\n"
        "service=default device=m1 phone=1\n"
        "service=open device=m1 phone=2 allowpid=yes\n"
        "pager=day pagerid=10\n"
        "pager=night pagerid=11\n"
        "pager=always pagerid=12\n"
        "group=team\n"
        " member=day/MoTuWeThFr0800-1700\n"
        " member=always\n"
        " member=night/MoTuWeThFr1701-2400\n"
        "group=weekdays member=day/MoTuWeThFr0800-1700\n"
        "group=idle\n");
    ASSERT_EQ(r.count, 1) << r.log;  // the empty group
  }
  testsupport::time_zone tz_{"UTC0"};
  page pg_;

  std::vector<std::string> names() const {
    std::vector<std::string> v;
    for (const rcpt& r : pg_.rcpts) v.push_back(r.pager);
    return v;
  }
};

TEST_F(RecipientTest, PagerByName) {
  service* cov = lookup(services, "open");
  EXPECT_EQ(add_recipient(pg_, "day", nullptr, 0, 1), 0);
  EXPECT_EQ(add_recipient(pg_, "night", cov, 1234, 0), 0);
  ASSERT_EQ(pg_.rcpts.size(), 2u);
  const rcpt& n = pg_.rcpts.front();
  EXPECT_EQ(n.pager, "night");
  EXPECT_EQ(n.coverage.value_or(""), "open");
  EXPECT_EQ(n.holduntil, 1234);
  EXPECT_EQ(n.servicelevel, 0);
  EXPECT_EQ(n.flags, F_SENDMAIL);
  EXPECT_EQ(n.tries, 0);
  EXPECT_EQ(n.goodtries, 0);
  EXPECT_EQ(n.lasttry, 0);
  const rcpt& d = pg_.rcpts.back();
  EXPECT_EQ(d.pager, "day");
  EXPECT_FALSE(d.coverage);
  EXPECT_EQ(d.servicelevel, 1);
  EXPECT_EQ(d.flags, 0u);
}

TEST_F(RecipientTest, GroupMembersOnDutyInFileOrder) {
  int64_t monday_noon = weekday(0, 12, 0);
  EXPECT_EQ(add_recipient(pg_, "team", nullptr, monday_noon, 3), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"day", "always"}));
  for (const rcpt& r : pg_.rcpts) {
    EXPECT_EQ(r.holduntil, monday_noon);
    EXPECT_EQ(r.servicelevel, 3);
    EXPECT_EQ(r.flags, 0u);
  }
  pg_.rcpts.clear();
  EXPECT_EQ(add_recipient(pg_, "team", nullptr, weekday(0, 20, 0), 1), 0);
  EXPECT_EQ(names(), (std::vector<std::string>{"always", "night"}));
}

TEST_F(RecipientTest, GroupWithNobodyOnDuty) {
  testsupport::capture_fd cap(2);
  EXPECT_EQ(add_recipient(pg_, "weekdays", nullptr, weekday(5, 10, 0), 1), 1);
  EXPECT_EQ(cap.finish(), "skipping day (off-duty)\n");
  EXPECT_TRUE(pg_.rcpts.empty());
  EXPECT_EQ(add_recipient(pg_, "idle", nullptr, 0, 1), 1);
  EXPECT_TRUE(pg_.rcpts.empty());
  debug = 0;
  testsupport::capture_fd quiet(2);
  EXPECT_EQ(add_recipient(pg_, "weekdays", nullptr, weekday(5, 10, 0), 1), 1);
  EXPECT_EQ(quiet.finish(), "");
}

TEST_F(RecipientTest, GroupCoverageIsCopied) {
  EXPECT_EQ(add_recipient(pg_, "team", lookup(services, "open"), weekday(0, 9, 0), 0), 0);
  ASSERT_EQ(pg_.rcpts.size(), 2u);
  for (const rcpt& r : pg_.rcpts) {
    EXPECT_EQ(r.coverage.value_or(""), "open");
    EXPECT_EQ(r.flags, F_SENDMAIL);
  }
}

TEST_F(RecipientTest, RawPagerIds) {
  service* open = lookup(services, "open");
  EXPECT_EQ(add_recipient(pg_, "5551234", nullptr, 0, 1), -1) << "default has no allowpid";
  EXPECT_EQ(add_recipient(pg_, "5551234", open, 77, 2), 0);
  ASSERT_EQ(pg_.rcpts.size(), 1u);
  EXPECT_EQ(pg_.rcpts.front().pager, "5551234");
  EXPECT_EQ(pg_.rcpts.front().coverage.value_or(""), "open");
  EXPECT_EQ(pg_.rcpts.front().flags, F_RAWPID);
  EXPECT_EQ(pg_.rcpts.front().holduntil, 77);
  EXPECT_EQ(add_recipient(pg_, "555a234", open, 0, 1), -1);
  EXPECT_EQ(add_recipient(pg_, "", open, 0, 1), -1);
  EXPECT_EQ(add_recipient(pg_, "-5", open, 0, 1), -1);
  EXPECT_EQ(add_recipient(pg_, "Team", open, 0, 1), -1) << "names are case-sensitive";
  EXPECT_EQ(pg_.rcpts.size(), 1u);

  defservice->allowpid = 1;
  EXPECT_EQ(add_recipient(pg_, "42", nullptr, 0, 0), 0);
  EXPECT_EQ(pg_.rcpts.front().coverage.value_or(""), "default");
  EXPECT_EQ(pg_.rcpts.front().flags, F_RAWPID | F_SENDMAIL);
  EXPECT_EQ(add_recipient(pg_, "42", lookup(services, "default"), 0, 0), 0);
  // A coverage without allowpid refuses even when the default would accept.
  open->allowpid = 0;
  EXPECT_EQ(add_recipient(pg_, "42", open, 0, 0), -1);
}

TEST_F(RecipientTest, RawPagerIdWithAllowpidFromTheFile) {
  auto r = parse(
      "modem=m1 device=/dev/null\n"
      "service=default device=m1 phone=1 allowpid=yes\n");
  ASSERT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(add_recipient(pg_, "0123", nullptr, 0, 1), 0);
  EXPECT_EQ(pg_.rcpts.front().coverage.value_or(""), "default");
}

TEST_F(RecipientTest, ExpandGroupsPagesEveryMember) {
  service* open = lookup(services, "open");
  rcpt g;
  g.pager = "team";
  g.coverage = open->name;
  g.holduntil = 999;
  g.servicelevel = 5;
  g.flags = F_SENDMAIL;
  rcpt single;
  single.pager = "day";
  rcpt empty;
  empty.pager = "idle";
  rcpt unknown;
  unknown.pager = "nobody";
  pg_.rcpts = {single, g, empty, g, unknown};
  expand_groups(pg_);
  EXPECT_EQ(names(), (std::vector<std::string>{"day", "night", "always", "day", "idle", "night",
                                               "always", "day", "nobody"}));
  auto it = std::next(pg_.rcpts.begin());
  // Only the first of the group's recipients keeps what was given for it.
  EXPECT_EQ(it->holduntil, 999);
  EXPECT_EQ(it->coverage.value_or(""), "open");
  EXPECT_EQ(it->servicelevel, 5);
  EXPECT_EQ(it->flags, F_SENDMAIL);
  for (int i = 0; i < 2; i++) {
    ++it;
    EXPECT_EQ(it->holduntil, 0);
    EXPECT_FALSE(it->coverage);
    EXPECT_EQ(it->servicelevel, 0);
    EXPECT_EQ(it->flags, 0u);
  }
}

TEST_F(RecipientTest, ExpandGroupsIgnoresSchedules) {
  rcpt g;
  g.pager = "weekdays";
  g.holduntil = weekday(5, 10, 0);  // Saturday: nobody on duty
  pg_.rcpts = {g};
  expand_groups(pg_);
  EXPECT_EQ(names(), (std::vector<std::string>{"day"}));
}
