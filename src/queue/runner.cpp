// One pass over the page queue: collect, deliver, write back.
#include "queue/runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/page.h"
#include "common/settings.h"
#include "common/signals.h"
#include "modem/dispatch.h"
#include "notify/report.h"
#include "queue/jobs.h"
#include "queue/linepool.h"
#include "queue/queuefile.h"
#include "queue/run_record.h"

namespace callvane {

namespace {

const char QUEUE_LOCKFILE[] = "lock";

using page_list = std::vector<std::unique_ptr<page>>;

// Every pending page of the current directory, in the order the directory
// returns them, but those named in `skip`; the names read are added to it.
// The pages live on the heap so the job list may point at them.
void collect_pages(page_list& pages, std::set<std::string>* skip = nullptr) {
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    logmsg(LOG_ERR, "cannot read current directory");
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != PENDING_PREFIX) continue;
    if (skip && !skip->insert(entry->d_name).second) continue;
    if (std::unique_ptr<page> p = read_page(entry->d_name)) pages.push_back(std::move(p));
  }
  closedir(dir);
}

}  // namespace

int lock_queue() {
  int fd = open(QUEUE_LOCKFILE, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) {
    logmsg(LOG_ERR, "cannot open queue lockfile: %s", strerror(errno));
    return -1;
  }
  // An open file description's lock: delivery processes forked by the run
  // share the descriptor, so the queue stays locked until the last of them
  // is gone, even when the run itself was killed.
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &whole) == 0) return fd;
  int err = errno;
  // Another run holds the queue: it does the work, this one bows out quietly.
  if (err != EAGAIN && err != EACCES)
    logmsg(LOG_NOTICE, "cannot lock queue lockfile: %s", strerror(err));
  close(fd);
  return -1;
}

void write_back(page& p) {
  // The reports go first, each marking its recipients before its mail;
  // the file then records those marks with the run's outcomes.
  if (administrator) notify_admin(p);
  if (p.from) notify_sender(p);
  if (write_page(p) < 0)
    logmsg(LOG_WARNING, "lost page id=%s", p.messageid.value_or("[none]").c_str());
}

namespace {

// One run, all in this process: collect, deliver service after service,
// write back. No queue file changes while the line is busy.
void run_in_order() {
  page_list pages;
  collect_pages(pages);
  run_record record(pages);

  if (debug) logmsg(LOG_DEBUG, "getting job list");
  job_list jobs;
  int pending = 0;
  for (const std::unique_ptr<page>& p : pages) pending += add_jobs(jobs, *p);
  if (debug) logmsg(LOG_DEBUG, "pending jobs: %d", pending);

  if (!jobs.empty()) {
    if (debug) logmsg(LOG_DEBUG, "sending job list");
    send_jobs(jobs);
  }

  if (debug && !pages.empty()) logmsg(LOG_DEBUG, "writing job list");
  for (const std::unique_ptr<page>& p : pages) write_back(*p);
  record.finish();
}

// A run on several lines: the pages of the spool, and those queued while
// it goes on, each written back as soon as its last job is done.
class lines_run {
 public:
  // Reads the pages not read before in this run and queues their jobs;
  // pages with nothing due now are written back at once.
  void collect(line_pool& pool) {
    page_list fresh;
    collect_pages(fresh, &read_names_);
    if (debug) logmsg(LOG_DEBUG, "getting job list");
    job_lists_.emplace_back();
    job_list& jobs = job_lists_.back();
    int pending = 0;
    for (const std::unique_ptr<page>& p : fresh) pending += add_jobs(jobs, *p);
    if (debug) logmsg(LOG_DEBUG, "pending jobs: %d", pending);
    while (!jobs.empty()) {
      job j = jobs.pop_front();
      open_jobs_[j.page]++;
      pool.add(j);
    }
    for (std::unique_ptr<page>& p : fresh) {
      page* held = p.get();
      // Each page is recorded on its own, as it is written back on its own.
      read_page_entry& entry = pages_[held];
      entry.one.push_back(std::move(p));
      entry.record = std::make_unique<run_record>(entry.one);
      if (open_jobs_.count(held) == 0) finish(*held);
    }
  }

  // A job's outcome is in: its page is written back after its last one.
  void job_done(const job& j) {
    if (--open_jobs_[j.page] > 0) return;
    open_jobs_.erase(j.page);
    finish(*j.page);
  }

 private:
  void finish(page& p) {
    std::string name = p.filename.value_or("");
    write_back(p);
    pages_[&p].record->finish();
    // A file that is gone may give its name to a new page, which must be
    // read; one rewritten for later runs must not be read again in this one.
    if (access(name.c_str(), F_OK) != 0) read_names_.erase(name);
    pages_.erase(&p);
  }

  struct read_page_entry {
    page_list one;
    std::unique_ptr<run_record> record;
  };
  std::set<std::string> read_names_;
  std::map<page*, read_page_entry> pages_;
  std::map<page*, int> open_jobs_;
  // Raw pager records live in the job lists that made them.
  std::list<job_list> job_lists_;
};

// Run requests (SIGUSR1) are taken only while waiting, so that none comes
// between the test and the wait. Returns the mask to wait with.
sigset_t hold_run_requests(sigset_t& previous) {
  sigset_t held;
  sigemptyset(&held);
  sigaddset(&held, SIGUSR1);
  sigprocmask(SIG_BLOCK, &held, &previous);
  sigset_t wait_mask = previous;
  sigdelset(&wait_mask, SIGUSR1);
  return wait_mask;
}

void run_on_lines() {
  sigset_t previous;
  sigset_t wait_mask = hold_run_requests(previous);
  lines_run run;
  line_pool pool(static_cast<unsigned>(lines));
  run_queue_now = 0;
  run.collect(pool);
  for (;;) {
    pool.start_lines();
    if (!pool.busy() && !run_queue_now) break;
    if (pool.busy())
      for (const job& j : pool.wait(wait_mask)) run.job_done(j);
    // A page queued meanwhile goes to its own line now, not after the run.
    if (run_queue_now) {
      run_queue_now = 0;
      run.collect(pool);
    }
  }
  // The run's time is noted also when it had no page.
  page_list none;
  run_record(none).finish();
  sigprocmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace

int run_queue() {
  int lock = lock_queue();
  if (lock < 0) return -1;
  remove_stale_temporaries();
  if (lines > 1)
    run_on_lines();
  else
    run_in_order();
  close(lock);
  return 0;
}

}  // namespace callvane
