// Delivery processes: a queue run's jobs on several lines at once.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "modem/dispatch.h"

namespace callvane {

// Hands the jobs of a run to delivery processes, one per line, at most
// `limit` at once. Each process calls one service and asks for that
// service's jobs one at a time, reporting each outcome before it asks
// again; the run's own process applies the outcomes to the recipients and
// is the only one that touches queue files. A job is given to one process
// only, and a process that ends without an outcome leaves its job as a
// lost carrier would: tried, not delivered, due again.
class line_pool {
 public:
  explicit line_pool(unsigned limit) : limit_(limit) {}
  ~line_pool();
  line_pool(const line_pool&) = delete;
  line_pool& operator=(const line_pool&) = delete;

  // Queues a job behind the others of its service.
  void add(const job& j);
  // Starts delivery processes for services with jobs waiting, while lines
  // are free.
  void start_lines();
  // Jobs wait or processes are still at work.
  bool busy() const { return !workers_.empty() || waiting_jobs() > 0; }
  // Waits until a process reports or ends, or a signal that `wait_mask`
  // lets through arrives. Returns the jobs whose outcome is now recorded.
  std::vector<job> wait(const sigset_t& wait_mask);

 private:
  struct service_queue {
    const service* svc = nullptr;
    std::deque<uint64_t> waiting;  // job ids, oldest first
    unsigned workers = 0;
    // A process found no device free: no more for this service until
    // some line is given up.
    bool blocked = false;
  };
  struct worker {
    pid_t pid = -1;
    int fd = -1;
    service_queue* queue = nullptr;
    uint64_t known = 0;    // job ids below this are in its memory
    uint64_t current = 0;  // the job it holds, when holding
    bool holding = false;
    bool gave_back = false;  // found no device free
    std::chrono::steady_clock::time_point last_word;
  };

  size_t waiting_jobs() const;
  bool start_worker(service_queue& q);
  // Takes one message from a worker; false when it has ended.
  bool take_word(worker& w, std::vector<job>& done);
  void give_order(worker& w);
  void lose_worker(worker& w, std::vector<job>& done);

  unsigned limit_;
  uint64_t next_id_ = 0;
  std::map<uint64_t, job> jobs_;                 // not yet finished
  std::map<std::string, service_queue> queues_;  // by service name
  std::vector<worker> workers_;
};

}  // namespace callvane
