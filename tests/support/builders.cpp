// Building the page and job records that tests hand to the code under test.
#include "support/builders.h"

namespace testsupport {

callvane::rcpt recipient(const std::string& pager, int level) {
  callvane::rcpt r;
  r.pager = pager;
  r.servicelevel = level;
  return r;
}

callvane::page make_page(const std::vector<std::string>& pagers, const std::string& message,
                         int64_t created, std::optional<std::string> from,
                         std::optional<std::string> messageid) {
  callvane::page p;
  for (const std::string& name : pagers) p.rcpts.push_back(recipient(name));
  p.created = created;
  p.message = message;
  p.from = std::move(from);
  p.messageid = std::move(messageid);
  return p;
}

job_parts::job_parts() {
  svc.name = "acme";
  pgr.name = "alice";
  pgr.pagerid = "1234567";
  pgr.service = &svc;
  r.pager = "alice";
  pg.from = "alice@example.org";
  pg.messageid = "AbCd001";
  j = callvane::job{&pg, &r, &svc, &pgr};
}

}  // namespace testsupport
