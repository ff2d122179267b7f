// What one queue run did, for the counters and the record of finished pages.
#include "queue/run_record.h"

#include <ctime>
#include <string>

#include "config/config.h"
#include "config/groups.h"
#include "queue/counters.h"
#include "queue/history.h"

namespace callvane {

namespace {

// The service a recipient is tried through, by name.
std::string service_name(const rcpt& r) {
  if (const service* s = service_of(r)) return s->name;
  return r.coverage.value_or("");
}

// A page whose file the run removed (all sent) or set aside as bad.
bool left_queue(const page& p) {
  if (p.flags & F_BADPAGE) return true;
  for (const rcpt& r : p.rcpts)
    if (!(r.flags & F_SENT)) return false;
  return true;
}

}  // namespace

run_record::run_record(const std::vector<std::unique_ptr<page>>& pages) : pages_(pages) {
  for (const std::unique_ptr<page>& p : pages)
    for (const rcpt& r : p->rcpts) before_.push_back({&r, r.tries, r.finished()});
}

void run_record::finish() {
  for (const before& b : before_) {
    const rcpt& r = *b.r;
    if (r.tries > b.tries) {
      const std::string service = service_name(r);
      for (int32_t i = b.tries; i < r.tries; i++) count_try(service);
    }
    if (!b.finished && r.finished()) count_outcome((r.flags & F_SENT) != 0);
  }
  int64_t now = time(nullptr);
  std::string lines;
  for (const std::unique_ptr<page>& p : pages_)
    if (left_queue(*p)) lines += history_line(*p, now);
  append_history(lines);
  note_queue_run(now);
}

}  // namespace callvane
