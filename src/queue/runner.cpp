// One pass over the page queue: collect, deliver, write back.
#include "queue/runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/page.h"
#include "common/settings.h"
#include "modem/dispatch.h"
#include "notify/report.h"
#include "queue/jobs.h"
#include "queue/queuefile.h"
#include "queue/run_record.h"

namespace callvane {

namespace {

const char QUEUE_LOCKFILE[] = "lock";

using page_list = std::vector<std::unique_ptr<page>>;

// Every pending page of the current directory, in the order the directory
// returns them. The pages live on the heap so the job list may point at them.
void collect_pages(page_list& pages) {
  DIR* dir = opendir(".");
  if (dir == nullptr) {
    logmsg(LOG_ERR, "cannot read current directory");
    return;
  }
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != PENDING_PREFIX) continue;
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
  if (lock_file(fd, true, false) == 0) return fd;
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

int run_queue() {
  int lock = lock_queue();
  if (lock < 0) return -1;
  remove_stale_temporaries();

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

  close(lock);
  return 0;
}

}  // namespace callvane
