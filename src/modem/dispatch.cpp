// PLACEHOLDER until delivery lands.
#include "modem/dispatch.h"

#include <cstdio>

namespace callvane {

void job_list::insert(const job& j) {
  jobs_.emplace(key{j.service->name, j.rcpt->servicelevel, j.page->created}, j);
}
job job_list::pop_front() {
  job j = jobs_.begin()->second;
  jobs_.erase(jobs_.begin());
  return j;
}
struct pager* job_list::raw_pager(const std::string& id) {
  raw_pagers_.push_front(pager{id, std::nullopt, id, nullptr});
  return &raw_pagers_.front();
}
int add_jobs(job_list&, struct page&) { return 0; }
void send_jobs(job_list&) { fputs("modem delivery is not available in this version\n", stderr); }

}  // namespace callvane
