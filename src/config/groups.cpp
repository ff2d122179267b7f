// Duty schedules and the turning of names into recipients.
#include "config/groups.h"

#include <syslog.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <iterator>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

struct duty_times {
  long start;
  long end;
};

// Reads a decimal number (with a sign when allowed); strtol saturates
// instead of overflowing.
bool read_number(const char*& p, long& out, bool allow_sign) {
  const char* q = p;
  if (allow_sign) {
    while (is_space(static_cast<unsigned char>(*q))) q++;
    if (*q == '+' || *q == '-') q++;
  }
  if (!is_digit(static_cast<unsigned char>(*q))) return false;
  char* end = nullptr;
  out = strtol(allow_sign ? p : q, &end, 10);
  p = end;
  return true;
}

// The day part (at least one non-digit), then start "-" end.
std::optional<duty_times> read_times(const std::string& schedule) {
  const char* p = schedule.c_str();
  const char* q = p;
  while (*q != '\0' && !is_digit(static_cast<unsigned char>(*q))) q++;
  if (q == p) return std::nullopt;
  duty_times t{};
  if (!read_number(q, t.start, false)) return std::nullopt;
  if (*q != '-') return std::nullopt;
  q++;
  if (!read_number(q, t.end, true)) return std::nullopt;
  return t;
}

const char* const WEEKDAYS[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};

rcpt make_rcpt(const std::string& name, const service* coverage, int64_t holduntil, int level) {
  rcpt r;
  r.pager = name;
  if (coverage) r.coverage = coverage->name;
  r.holduntil = holduntil;
  r.servicelevel = level;
  // Level 0 asks for a status report by e-mail.
  if (level == 0) r.flags |= F_SENDMAIL;
  return r;
}

bool all_digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s)
    if (!is_digit(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

bool valid_schedule(const std::string& schedule) { return read_times(schedule).has_value(); }

int on_duty(const std::optional<std::string>& schedule, int64_t when) {
  if (!schedule) return 1;
  time_t t = when != 0 ? static_cast<time_t>(when) : time(nullptr);
  struct tm tm {};
  if (localtime_r(&t, &tm) == nullptr) return -1;
  std::optional<duty_times> times = read_times(*schedule);
  if (!times) {
    logmsg(LOG_ERR, "invalid schedule: %s", safe_string(*schedule));
    return -1;
  }
  long start = times->start == 2400 ? 0 : times->start;
  long end = times->end == 0 ? 2400 : times->end;
  bool today = schedule->find(WEEKDAYS[tm.tm_wday]) != std::string::npos ||
               schedule->find("Any") != std::string::npos;
  if (!today) return 0;
  long now = tm.tm_hour * 100L + tm.tm_min;
  return start <= now && now <= end ? 1 : 0;
}

int add_recipient(page& p, const std::string& name, const service* coverage, int64_t holduntil,
                  int level) {
  if (pgroup* g = lookup(groups, name)) {
    bool added = false;
    for (const member& m : g->members) {
      if (on_duty(m.schedule, holduntil) != 0) {
        p.rcpts.push_front(make_rcpt(m.pager->name, coverage, holduntil, level));
        added = true;
      } else if (debug > 0) {
        logmsg(LOG_DEBUG, "skipping %s (off-duty)", safe_string(m.pager->name));
      }
    }
    return added ? 0 : 1;
  }
  if (lookup(pagers, name) != nullptr) {
    p.rcpts.push_front(make_rcpt(name, coverage, holduntil, level));
    return 0;
  }
  // A raw pager id: digits only, and only for a service that allows them.
  if (!all_digits(name)) return -1;
  const service* s = coverage != nullptr ? coverage : lookup(services, "default");
  if (s == nullptr || s->allowpid == 0) return -1;
  rcpt r = make_rcpt(name, s, holduntil, level);
  r.flags |= F_RAWPID;
  p.rcpts.push_front(std::move(r));
  return 0;
}

service* service_of(const rcpt& r) {
  if (r.coverage) return lookup(services, *r.coverage);
  pager* p = lookup(pagers, r.pager);
  return p != nullptr ? p->service : nullptr;
}

void expand_groups(page& p) {
  for (auto it = p.rcpts.begin(); it != p.rcpts.end(); ++it) {
    pgroup* g = lookup(groups, it->pager);
    if (g == nullptr || g->members.empty()) continue;
    auto m = g->members.begin();
    it->pager = m->pager->name;
    for (++m; m != g->members.end(); ++m) {
      rcpt extra;
      extra.pager = m->pager->name;
      extra.servicelevel = 0;
      it = p.rcpts.insert(std::next(it), std::move(extra));
    }
  }
}

}  // namespace callvane
