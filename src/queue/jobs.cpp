// Which recipients of a page a run delivers to: the queue's policy.
#include "queue/jobs.h"

#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"

namespace callvane {

namespace {

const char* or_none(const std::optional<std::string>& text) {
  return text ? text->c_str() : "[none]";
}

}  // namespace

int add_jobs(job_list& jobs, struct page& p) {
  int count = 0;
  int64_t now = time(nullptr);
  for (rcpt& r : p.rcpts) {
    if (r.flags & F_SENT) continue;
    if (r.holduntil > now) {
      if (verbose()) {
        const char* when = time_text(r.holduntil);
        logmsg(LOG_DEBUG, "skipping %s until %s", r.pager.c_str(), when ? when : "?");
      }
      count++;
      continue;
    }
    struct pager* pgr = lookup(pagers, r.pager);
    if (pgr == nullptr) {
      if (!(r.flags & F_RAWPID)) {
        logmsg(LOG_ERR, "no such pager %s", r.pager.c_str());
        continue;
      }
      pgr = jobs.raw_pager(r.pager);
    }
    struct service* svc = r.coverage ? lookup(services, *r.coverage) : pgr->service;
    if (svc == nullptr) {
      logmsg(LOG_ERR, "no such service %s", or_none(r.coverage));
      continue;
    }
    if (r.goodtries >= svc->maxtries) {
      r.flags |= F_FAILED;
      logmsg(LOG_ERR, "too many retries for %s in %s", r.pager.c_str(), or_none(p.filename));
      continue;
    }
    if (debug >= 1)
      logmsg(LOG_DEBUG, "pager=%s, pagerid=%s, service=%s", pgr->name.c_str(),
             or_none(pgr->pagerid), svc->name.c_str());
    jobs.insert(job{&p, &r, svc, pgr});
    count++;
  }
  if (count == 0) p.flags |= F_BADPAGE;
  return count;
}

}  // namespace callvane
