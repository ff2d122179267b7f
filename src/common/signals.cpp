#include "common/signals.h"

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"

namespace callvane {

volatile sig_atomic_t reread_config = 0;
volatile sig_atomic_t run_queue_now = 0;
volatile sig_atomic_t alarm_fired = 0;
std::atomic<pid_t> watched_child{0};
std::atomic<pid_t> http_child{0};
std::atomic<int> http_child_status{0};
std::atomic<unsigned long> reaped_others{0};

namespace {
volatile sig_atomic_t term_pending = 0;

void terminate_now() {
  logmsg(LOG_INFO, "caught SIGTERM, exiting...");
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}
}  // namespace

void sig_alarm(int) { alarm_fired = 1; }

void sig_term(int) {
  // logmsg holds stdio or syslog state; interrupting it and logging again
  // could deadlock, so the exit waits until that call has finished.
  if (logmsg_busy()) {
    term_pending = 1;
    return;
  }
  terminate_now();
}

void handle_pending_term() {
  if (term_pending) {
    term_pending = 0;
    terminate_now();
  }
}

void describe_child_status(unsigned pid, int status, char* out, unsigned size) {
  out[0] = '\0';
  int low = status & 0x7f;
  if (low == 0x7f) return;  // stopped
  if (low != 0 && status != 0x13) {
    const char* descr = sigdescr_np(low);
    snprintf(out, size, "Child pid %u exited on signal %d (%s%s)", pid, low,
             descr ? descr : "Unknown signal", (status & 0x80) ? ", core dumped" : "");
    return;
  }
  int code = (status >> 8) & 0xff;
  if (low == 0 && code != 0) snprintf(out, size, "Child pid %u exited with status %d", pid, code);
}

void sig_child(int) {
  int saved_errno = errno;
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (pid == watched_child.load())
      watched_child.store(0);
    else if (pid == http_child.load()) {
      http_child_status.store(status);
      http_child.store(0);
    } else {
      reaped_others.fetch_add(1);
    }
    if (debug == 0) continue;
    // Only reached with -d, when log lines go to the terminal: write(2)
    // keeps the handler safe whatever the main flow was doing.
    char line[160];
    describe_child_status(static_cast<unsigned>(pid), status, line, sizeof line);
    if (line[0] != '\0') logmsg_signal_safe(line);
  }
  errno = saved_errno;
}

void sig_hup(int) { reread_config = 1; }

void sig_usr1(int) { run_queue_now = 1; }

void install_signal_handlers() {
  struct entry {
    int signo;
    void (*handler)(int);
    const char* name;
  };
  static const entry table[] = {
      {SIGALRM, sig_alarm, "sigaction(SIGALRM)"}, {SIGTERM, sig_term, "sigaction(SIGTERM)"},
      {SIGCHLD, sig_child, "sigaction(SIGCHLD)"}, {SIGHUP, sig_hup, "sigaction(SIGHUP)"},
      {SIGUSR1, sig_usr1, "sigaction(SIGUSR1)"},
  };
  for (const entry& e : table) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = e.handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_NOCLDSTOP | SA_NODEFER;
    if (sigaction(e.signo, &sa, nullptr) < 0) perror(e.name);
  }
}

namespace {
bool sigpipe_pending() {
  sigset_t set;
  sigemptyset(&set);
  return sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
}
}  // namespace

sigpipe_blocked::sigpipe_blocked() {
  sigemptyset(&pipe_);
  sigaddset(&pipe_, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  was_pending_ = sigpipe_pending();
}

sigpipe_blocked::~sigpipe_blocked() {
  if (!was_pending_ && sigpipe_pending()) {
    struct timespec zero = {0, 0};
    while (sigtimedwait(&pipe_, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

}  // namespace callvane
