// The SNPP daemon's start-up and its loop: connections, queue runs, reloads.
#include "server/daemon.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "common/log.h"
#include "common/privilege.h"
#include "common/settings.h"
#include "common/signals.h"
#include "common/text.h"
#include "queue/counters.h"
#include "queue/queuefile.h"
#include "queue/runner.h"
#include "queue/spool.h"
#include "server/access.h"
#include "server/detach.h"
#include "server/http_child.h"
#include "server/listener.h"
#include "server/session.h"

namespace callvane {

namespace {

constexpr uint16_t FIRST_UNPRIVILEGED_PORT = 1024;
// While a queue run is asked for and one is still going, the wait is cut
// to this, so the next run starts soon after the child is gone.
constexpr long PENDING_RUN_WAIT_SECONDS = 1;
constexpr int EXIT_QUEUE_LOCKED = 255;

// The signals the loop acts on are held back everywhere but inside the
// wait, so none can slip in between testing a flag and starting to wait.
// Returns the mask to wait with.
sigset_t hold_daemon_signals() {
  sigset_t held, previous;
  sigemptyset(&held);
  for (int signo : {SIGCHLD, SIGHUP, SIGUSR1, SIGTERM}) sigaddset(&held, signo);
  sigprocmask(SIG_BLOCK, &held, &previous);
  for (int signo : {SIGCHLD, SIGHUP, SIGUSR1, SIGTERM}) sigdelset(&previous, signo);
  return previous;
}

// Children start with every signal deliverable, whatever the daemon holds.
void release_all_signals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void run_queue_child(const listeners& fds) {
  release_all_signals();
  close_listeners(fds);
  int result = run_queue();
  fflush(nullptr);
  _exit(result == 0 ? 0 : EXIT_QUEUE_LOCKED);
}

void start_queue_run(const listeners& fds) {
  logmsg(LOG_DEBUG, "processing the page queue");
  fflush(nullptr);
  // SIGCHLD is held here, so a child that ends at once is reaped only
  // after it is being watched.
  pid_t pid = fork();
  if (pid == 0) run_queue_child(fds);
  if (pid < 0)
    logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
  else
    watched_child.store(pid);
}

// The spool may have been removed and made anew since the daemon entered
// it: sessions and runs start in the directory of that name now, not in a
// deleted one. A failure is logged once until the directory is back.
void enter_queue_dir() {
  static bool failing = false;
  bool ok = queuedir && chdir(queuedir->c_str()) == 0;
  int err = errno;
  if (!ok && !failing)
    logmsg(LOG_ERR, "cannot chdir to QueueDir(%s): %s", safe_string(queuedir.value_or("")),
           strerror(err));
  failing = !ok;
}

// Session children alive: those forked less those reaped.
unsigned long live_sessions(unsigned long started) {
  unsigned long ended = reaped_others.load();
  return started > ended ? started - ended : 0;
}

void reload_config() {
  reread_config = 0;
  logmsg(LOG_NOTICE, "rereading configuration");
  if (load_config_and_spool(configfile) != 0) logmsg(LOG_NOTICE, "new configuration has errors");
}

// Waits for a connection or a signal; `readable` tells which listeners
// have one. `seconds` < 0: no time limit.
void wait_for_work(const listeners& fds, long seconds, const sigset_t& wait_mask,
                   std::array<bool, 2>& readable) {
  struct timespec limit = {seconds, 0};
  // A listener of -1 is skipped by ppoll.
  struct pollfd pfds[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  int r = ppoll(pfds, 2, seconds < 0 ? nullptr : &limit, &wait_mask);
  // A ppoll that finds a socket ready puts the held mask back without
  // handling a signal that came meanwhile; under a steady stream of
  // connections ended sessions would then go unreaped and count against
  // the session limit. Open the mask once to take them.
  sigset_t pending;
  if (r > 0 && sigpending(&pending) == 0 && !sigisemptyset(&pending)) {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &wait_mask, &held);
    sigprocmask(SIG_SETMASK, &held, nullptr);
  }
  readable = {false, false};
  if (r < 0 && errno != EINTR) {
    logmsg(LOG_ERR, "select() failed: %s", strerror(errno));
    // Whatever went wrong must not turn the loop into a busy one.
    struct timespec pause = {1, 0};
    nanosleep(&pause, nullptr);
    return;
  }
  if (r <= 0) return;
  for (size_t i = 0; i < readable.size(); i++) readable[i] = (pfds[i].revents & POLLIN) != 0;
}

[[noreturn]] void serve_forever(const listeners& fds, int32_t interval, const sigset_t& wait_mask) {
  // A negative interval: no queue runs, and no time limit on the wait.
  const long wait_limit = interval < 0 ? -1 : interval;
  int64_t last_run = 0;
  unsigned long sessions_started = 0;
  // A run request passed on to a run on several lines: one more run
  // follows it, for a page that came as that run was ending.
  bool passed_on = false;
  for (;;) {
    long seconds = wait_limit;
    bool http_due = keep_http_child(fds);
    if ((http_due || (run_queue_now && watched_child.load() != 0)) &&
        (seconds < 0 || seconds > PENDING_RUN_WAIT_SECONDS))
      seconds = PENDING_RUN_WAIT_SECONDS;
    std::array<bool, 2> readable;
    wait_for_work(fds, seconds, wait_mask, readable);

    if (reread_config) {
      reload_config();
      restart_http_child();
    }
    // One connection per ready listener and pass; both count alike
    // against the session limit.
    for (size_t i = 0; i < fds.size(); i++) {
      if (!readable[i]) continue;
      bool at_limit =
          maxsessions > 0 && live_sessions(sessions_started) >= static_cast<unsigned>(maxsessions);
      enter_queue_dir();
      if (serve_connection(fds[i], at_limit, fds[1 - i]) > 0) sessions_started++;
    }
    int64_t now = time(nullptr);
    if (pid_t running = watched_child.load(); running != 0) {
      // A run on one line takes new pages only in the next run, so the
      // request stays pending; a run on several starts them at once.
      if (run_queue_now && lines > 1 && kill(running, SIGUSR1) == 0) {
        run_queue_now = 0;
        passed_on = true;
      }
      continue;
    }
    if (run_queue_now || passed_on) {
      run_queue_now = 0;
      passed_on = false;
      last_run = 0;
    }
    if (interval < 0) continue;
    if (now - last_run < interval) continue;
    enter_queue_dir();
    start_queue_run(fds);
    last_run = now;
  }
}

}  // namespace

int run_daemon(int32_t interval, uint16_t requested_port) {
  uint16_t port = choose_port(requested_port);
  if (port < FIRST_UNPRIVILEGED_PORT && geteuid() != 0)
    fputs("Warning: daemon must be started as root\n", stderr);
  std::optional<listeners> opened = open_listeners(port);
  if (!opened) return -1;
  const listeners& fds = *opened;
  drop_root();
  if (load_config_and_spool(configfile) != 0) {
    fputs("Error reading configuration file\n", stderr);
    close_listeners(fds);
    return -1;
  }
  share_queue_name_hint();
  share_counters();
  sigset_t wait_mask = hold_daemon_signals();
  int ready_fd = -1;
  if (debug == 0 && !detach(ready_fd)) {
    close_listeners(fds);
    return -1;
  }
  daemon_pid = getpid();
  write_pidfile();
  tell_ready(ready_fd);
  if (debug) logmsg(LOG_DEBUG, "waiting for incoming connections");
  serve_forever(fds, interval, wait_mask);
}

}  // namespace callvane
