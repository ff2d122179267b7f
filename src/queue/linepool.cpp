// Delivery processes: a queue run's jobs on several lines at once.
#include "queue/linepool.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/text.h"

namespace callvane {

namespace {

using std::chrono::steady_clock;

// A delivery process that says nothing for this long is stuck: no modem
// dialogue or transfer of one job takes half as long.
constexpr auto SILENCE_LIMIT = std::chrono::minutes(30);
constexpr uint64_t NO_JOB = UINT64_MAX;

// From a delivery process to the run: ready for a job, or one job's
// outcome. Both ends are the same program, forked, so a plain record will do.
struct line_word {
  enum kind_t : uint8_t { ready, done, untouched };
  kind_t kind = ready;
  uint64_t job = NO_JOB;
  int32_t tries = 0;
  int32_t goodtries = 0;
  int64_t lasttry = 0;
  uint32_t flags = 0;
};

// From the run to a delivery process: the next job, or NO_JOB to hang up.
struct line_order {
  uint64_t job = NO_JOB;
  // Other lines are at work, so a device found busy may be one of ours and
  // the job is better left to a later line than failed.
  bool others_at_work = false;
};

bool send_record(int fd, const void* record, size_t size) {
  ssize_t n;
  do n = send(fd, record, size, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(size);
}

unsigned device_count(const service& svc) {
  unsigned count = 0;
  if (!svc.device) return count;
  std::optional<std::string_view> state = std::string_view(*svc.device);
  for (std::string entry; next_token(state, ",", entry);) count++;
  return count;
}

void apply_outcome(rcpt& r, const line_word& w) {
  r.tries = w.tries;
  r.goodtries = w.goodtries;
  r.lasttry = w.lasttry;
  r.flags = (r.flags & ~F_OUTCOME_MASK) | (w.flags & F_OUTCOME_MASK);
}

// What a call that was lost mid-job leaves: one try, no delivery.
void apply_lost_line(rcpt& r) {
  r.tries++;
  r.goodtries++;
  r.lasttry = time(nullptr);
  r.flags = (r.flags & ~F_OUTCOME_MASK) | F_NOCARRIER;
}

// The delivery process: one service's jobs, one at a time, on one call.
[[noreturn]] void serve_line(int fd, const std::map<uint64_t, job>& jobs, pid_t run) {
  // A line outlives no run: whatever it delivered after the run was gone
  // would go unrecorded and be delivered again.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != run) _exit(0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  service_call call;
  line_word word;
  line_order order;
  while (send_record(fd, &word, sizeof word)) {
    ssize_t n;
    do n = recv(fd, &order, sizeof order, 0);
    while (n < 0 && errno == EINTR);
    if (n != sizeof order || order.job == NO_JOB) break;
    auto it = jobs.find(order.job);
    if (it == jobs.end()) break;
    const job& j = it->second;
    bool taken = call.deliver(j, order.others_at_work);
    word = line_word{taken ? line_word::done : line_word::untouched,
                     order.job,
                     j.rcpt->tries,
                     j.rcpt->goodtries,
                     j.rcpt->lasttry,
                     j.rcpt->flags};
    if (!taken) {
      send_record(fd, &word, sizeof word);
      break;
    }
  }
  call.hang_up();
  fflush(nullptr);
  _exit(0);
}

}  // namespace

line_pool::~line_pool() {
  // Processes still at work see the run gone and hang up.
  for (worker& w : workers_) close(w.fd);
}

void line_pool::add(const job& j) {
  uint64_t id = next_id_++;
  jobs_.emplace(id, j);
  service_queue& q = queues_[j.service->name];
  q.svc = j.service;
  q.waiting.push_back(id);
}

size_t line_pool::waiting_jobs() const {
  size_t count = 0;
  for (const auto& [name, q] : queues_) count += q.waiting.size();
  return count;
}

void line_pool::start_lines() {
  // Without a line of ours at work no device can be held by one of them.
  if (workers_.empty())
    for (auto& [name, q] : queues_) q.blocked = false;
  for (auto& [name, q] : queues_) {
    if (q.waiting.empty() || q.blocked) continue;
    // A service's first line, or one more while it has devices to spare.
    if (q.workers > 0 && q.workers >= device_count(*q.svc)) continue;
    if (workers_.size() >= limit_) return;
    if (!start_worker(q)) return;
  }
}

bool line_pool::start_worker(service_queue& q) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    logmsg(LOG_ERR, "socketpair() failed: %s", strerror(errno));
    return false;
  }
  fflush(nullptr);
  pid_t run = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    close(ends[0]);
    for (worker& w : workers_) close(w.fd);
    serve_line(ends[1], jobs_, run);
  }
  close(ends[1]);
  if (pid < 0) {
    logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
    close(ends[0]);
    return false;
  }
  if (debug)
    logmsg(LOG_DEBUG, "delivery process %d for %s", static_cast<int>(pid), q.svc->name.c_str());
  workers_.push_back(worker{pid, ends[0], &q, next_id_, 0, false, false, steady_clock::now()});
  q.workers++;
  return true;
}

void line_pool::give_order(worker& w) {
  service_queue& q = *w.queue;
  line_order order;
  if (!q.waiting.empty() && q.waiting.front() < w.known) {
    order.job = q.waiting.front();
    order.others_at_work = workers_.size() > 1;
  }
  if (!send_record(w.fd, &order, sizeof order)) return;  // its end shows next
  if (order.job == NO_JOB) return;
  q.waiting.pop_front();
  w.current = order.job;
  w.holding = true;
}

bool line_pool::take_word(worker& w, std::vector<job>& done) {
  line_word word;
  ssize_t n = recv(w.fd, &word, sizeof word, MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  bool in_turn = word.kind == line_word::ready ? !w.holding : w.holding && word.job == w.current;
  if (n != sizeof word || !in_turn) {
    if (n != 0) {
      logmsg(LOG_ERR, "delivery process %d out of step", static_cast<int>(w.pid));
      kill(w.pid, SIGKILL);
    }
    return false;
  }
  w.last_word = steady_clock::now();
  if (word.kind == line_word::ready) {
    give_order(w);
    return true;
  }
  w.holding = false;
  if (word.kind == line_word::untouched) {
    w.queue->waiting.push_front(word.job);
    w.queue->blocked = true;
    w.gave_back = true;
    return true;
  }
  auto it = jobs_.find(word.job);
  apply_outcome(*it->second.rcpt, word);
  done.push_back(it->second);
  jobs_.erase(it);
  give_order(w);
  return true;
}

void line_pool::lose_worker(worker& w, std::vector<job>& done) {
  close(w.fd);
  w.queue->workers--;
  // Its device is free again for whoever found it taken.
  if (!w.gave_back)
    for (auto& [name, q] : queues_) q.blocked = false;
  if (!w.holding) return;
  auto it = jobs_.find(w.current);
  logmsg(LOG_ERR, "delivery process %d for %s ended mid-job: %s is tried again",
         static_cast<int>(w.pid), w.queue->svc->name.c_str(), it->second.rcpt->pager.c_str());
  apply_lost_line(*it->second.rcpt);
  done.push_back(it->second);
  jobs_.erase(it);
}

std::vector<job> line_pool::wait(const sigset_t& wait_mask) {
  std::vector<job> done;
  if (workers_.empty()) {
    // No process could be started: the jobs stay due for the next run.
    logmsg(LOG_ERR, "no delivery process could be started");
    for (auto& [name, q] : queues_) {
      for (uint64_t id : q.waiting) done.push_back(jobs_.at(id));
      for (uint64_t id : q.waiting) jobs_.erase(id);
      q.waiting.clear();
    }
    return done;
  }
  std::vector<pollfd> fds;
  auto first_silence_end = steady_clock::time_point::max();
  for (const worker& w : workers_) {
    fds.push_back(pollfd{w.fd, POLLIN, 0});
    first_silence_end = std::min(first_silence_end, w.last_word + SILENCE_LIMIT);
  }
  auto left = std::max(first_silence_end - steady_clock::now(), steady_clock::duration::zero());
  struct timespec limit = {
      static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(left).count()), 0};
  int r = ppoll(fds.data(), fds.size(), &limit, &wait_mask);
  if (r < 0 && errno != EINTR) logmsg(LOG_ERR, "poll() failed: %s", strerror(errno));

  std::vector<worker> alive;
  for (size_t i = 0; i < workers_.size(); i++) {
    worker& w = workers_[i];
    bool ended = r > 0 && fds[i].revents != 0 && !take_word(w, done);
    if (!ended && steady_clock::now() - w.last_word >= SILENCE_LIMIT) {
      logmsg(LOG_ERR, "delivery process %d for %s is silent: stopped", static_cast<int>(w.pid),
             w.queue->svc->name.c_str());
      kill(w.pid, SIGKILL);
      w.last_word = steady_clock::now();
    }
    if (ended)
      lose_worker(w, done);
    else
      alive.push_back(w);
  }
  workers_ = std::move(alive);
  return done;
}

}  // namespace callvane
