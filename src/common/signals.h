// Signal handlers and the flags through which they talk to the program.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <csignal>

namespace callvane {

extern volatile sig_atomic_t reread_config;  // set by SIGHUP
extern volatile sig_atomic_t run_queue_now;  // set by SIGUSR1
// Set by SIGALRM. Time-outs are kept with deadlines and poll, never with
// alarm() and a jump, so nothing waits on this; it only records the event.
extern volatile sig_atomic_t alarm_fired;

// The one child whose end the main flow waits for (the daemon's queue
// child): set by its parent right after the fork, with SIGCHLD blocked, and
// cleared by sig_child when it reaps that very pid. Unlike a signal 0 probe
// this never mistakes a reused pid for the child. 0: none watched.
extern std::atomic<pid_t> watched_child;
// The daemon's HTTP intake child, watched the same way; it is no session,
// so its end is not counted in reaped_others.
extern std::atomic<pid_t> http_child;
// Its wait status, stored before http_child is cleared.
extern std::atomic<int> http_child_status;
// Children reaped by sig_child other than the watched ones; only grows.
extern std::atomic<unsigned long> reaped_others;
static_assert(std::atomic<pid_t>::is_always_lock_free);
static_assert(std::atomic<unsigned long>::is_always_lock_free);

// Installs SIGALRM, SIGTERM, SIGCHLD, SIGHUP and SIGUSR1 in this order,
// without SA_RESTART so that blocking calls return EINTR.
void install_signal_handlers();

void sig_alarm(int);
void sig_term(int);
void sig_child(int);
void sig_hup(int);
void sig_usr1(int);

// Runs a SIGTERM that was deferred because it arrived inside logmsg.
void handle_pending_term();

// Formats the report on one reaped child ("" when nothing is to be logged).
// Kept apart from the handler so that it can be tested directly.
void describe_child_status(unsigned pid, int status, char* out, unsigned size);

// Blocks SIGPIPE while a pipe or socket is written, so that a reader that
// went away shows as EPIPE instead of ending the process; a SIGPIPE that
// the writes raised is consumed before the old mask comes back.
class sigpipe_blocked {
 public:
  sigpipe_blocked();
  ~sigpipe_blocked();
  sigpipe_blocked(const sigpipe_blocked&) = delete;
  sigpipe_blocked& operator=(const sigpipe_blocked&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
};

}  // namespace callvane
