// Job lists and per-service delivery.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "common/page.h"
#include "config/config.h"

namespace callvane {

// One due recipient bound to its service and pager. Nothing here is owned.
struct job {
  struct page* page = nullptr;
  struct rcpt* rcpt = nullptr;
  struct service* service = nullptr;
  struct pager* pager = nullptr;
};

// Sorted by service name (bytes), then service level, then page creation;
// equal keys keep their insertion order. A multimap inserts behind the equal
// range, which gives exactly that in O(log n) per job.
class job_list {
 public:
  using key = std::tuple<std::string, int32_t, int64_t>;
  void insert(const job& j);
  bool empty() const { return jobs_.empty(); }
  size_t size() const { return jobs_.size(); }
  // Removes and returns the first job; the list must not be empty.
  job pop_front();
  const job& front() const { return jobs_.begin()->second; }

 private:
  std::multimap<key, job> jobs_;
  // Pager records made for raw pager ids live as long as the list.
  std::list<struct pager> raw_pagers_;

 public:
  // A pager record whose name and pagerid are the raw id, with no service.
  struct pager* raw_pager(const std::string& id);
};

class delivery_line;

// The call one delivery keeps between jobs: the line to the current
// service, logged in, and left only for another service, a failure, or
// the end.
class service_call {
 public:
  service_call();
  ~service_call();
  service_call(const service_call&) = delete;
  service_call& operator=(const service_call&) = delete;

  // Makes one attempt at the job, calling its service first unless the
  // line held is already to it, and records the outcome in the recipient.
  // With untouched_without_line, a job that finds no line held and no
  // device free is left untouched and false returned, so that another
  // line may take it.
  bool deliver(const job& j, bool untouched_without_line);
  // Logs out and hangs up whatever line is held.
  void hang_up();

 private:
  struct call {
    std::unique_ptr<delivery_line> line;
    const service* svc = nullptr;
    bool open_for(const service& s) const;
    // Hangs up; logs out first after a normal session.
    void end(bool log_out);
  };
  call current_;
  call opened_;  // a line opened for a job, not yet called
};

// Delivers every job, service by service, and empties the list.
void send_jobs(job_list& jobs);

}  // namespace callvane
