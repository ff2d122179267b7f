// The system mailer as a child process fed through a pipe.
#include "notify/mailer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/instream.h"
#include "common/log.h"
#include "common/signals.h"
#include "common/text.h"

namespace callvane {

namespace {

// The mailer starts with the signal state of a fresh program: an ignored
// SIGPIPE or a blocked signal of ours would otherwise survive the exec.
void reset_signals() {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; sig++)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Queue files and locks stay with the queue runner: nothing beyond the
// standard descriptors survives the exec. Marked close-on-exec rather than
// closed, so that an exec failure can still be logged.
void keep_only_standard_descriptors() {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  struct rlimit rl;
  int last = 65535;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      rl.rlim_cur < static_cast<rlim_t>(last))
    last = static_cast<int>(rl.rlim_cur) - 1;
  for (int fd = 3; fd <= last; fd++) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

[[noreturn]] void exec_mailer(int read_end, int write_end, const std::string& address) {
  close(write_end);
  if (read_end != STDIN_FILENO) {
    dup2(read_end, STDIN_FILENO);
    close(read_end);
  } else {
    fcntl(STDIN_FILENO, F_SETFD, 0);  // the pipe was made close-on-exec
  }
  reset_signals();
  keep_only_standard_descriptors();
  const char* argv[] = {"sendmail", "-f", "<>", address.c_str(), nullptr};
  execv(MAILER_PATH, const_cast<char* const*>(argv));
  logmsg(LOG_ERR, "exec(%s) failed: %s", MAILER_PATH, strerror(errno));
  _exit(255);
}

int milliseconds_until(mono_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - mono_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool mail_address_safe(std::string_view address) {
  if (address.empty() || address.front() == '-') return false;
  for (unsigned char c : address)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

mail_process::mail_process(int fd, pid_t pid, std::string address)
    : fd_(fd), pid_(pid), address_(std::move(address)) {}

mail_process::~mail_process() {
  if (fd_ >= 0) close(fd_);
}

bool mail_process::send(std::string_view message, std::chrono::milliseconds limit) {
  if (fd_ < 0) return false;
  // One mailer that hung is reason enough not to wait the full time for
  // every later report of the same run, which holds the queue lock.
  static bool mailer_hung = false;
  if (mailer_hung) limit = std::min(limit, MAILER_WRITE_LIMIT_AFTER_HANG);
  mono_clock::time_point deadline = mono_clock::now() + limit;
  int err = 0;
  bool timed_out = false;
  {
    sigpipe_blocked guard;
    while (!message.empty()) {
      ssize_t n = write(fd_, message.data(), message.size());
      if (n > 0) {
        message.remove_prefix(static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        err = errno;
        break;
      }
      int ms = milliseconds_until(deadline);
      if (ms == 0) {
        timed_out = true;
        break;
      }
      struct pollfd p = {fd_, POLLOUT, 0};
      if (poll(&p, 1, ms) < 0 && errno != EINTR) {
        err = errno;
        break;
      }
    }
  }
  if (message.empty()) {
    // Everything is in the pipe; closing it is the mailer's end of input.
    close(fd_);
    fd_ = -1;
    return true;
  }
  if (timed_out) mailer_hung = true;
  if (timed_out)
    logmsg(LOG_ERR, "e-mail to <%s> not sent: the mailer did not take it within %lld ms",
           safe_string(address_), static_cast<long long>(limit.count()));
  else
    logmsg(LOG_ERR, "e-mail to <%s> not sent: the mailer stopped reading: %s",
           safe_string(address_), strerror(err));
  abandon();
  return false;
}

void mail_process::abandon() {
  // With SIGCHLD blocked the handler cannot reap the mailer between the
  // look and the kill, so the id cannot have passed to another process.
  sigset_t chld, old;
  sigemptyset(&chld);
  sigaddset(&chld, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &chld, &old);
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == 0)
    kill(pid_, SIGKILL);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(fd_);
  fd_ = -1;
}

std::unique_ptr<mail_process> open_mailer(const std::string& address) {
  if (!mail_address_safe(address)) {
    logmsg(LOG_WARNING, "refusing unsafe mail address <%s>", safe_string(address));
    return nullptr;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    logmsg(LOG_ERR, "pipe() failed, cannot send e-mail: %s", strerror(errno));
    return nullptr;
  }
  fflush(nullptr);  // the child must not write our buffered output again
  pid_t pid = fork();
  if (pid < 0) {
    int err = errno;
    close(fds[0]);
    close(fds[1]);
    logmsg(LOG_ERR, "fork() failed, cannot send e-mail: %s", strerror(err));
    return nullptr;
  }
  if (pid == 0) exec_mailer(fds[0], fds[1], address);
  close(fds[0]);
  // Non-blocking, so that the write can keep its deadline.
  int flags = fcntl(fds[1], F_GETFL);
  if (flags >= 0) fcntl(fds[1], F_SETFL, flags | O_NONBLOCK);
  return std::make_unique<mail_process>(fds[1], pid, address);
}

}  // namespace callvane
