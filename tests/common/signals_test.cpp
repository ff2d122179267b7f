// Signal handlers: how they are installed, the flags they set, SIGTERM and SIGCHLD.
#include "common/signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "common/settings.h"
#include "support/support.h"

namespace callvane {
namespace {

// The handlers must never be installed in the test process itself: the
// SIGCHLD handler would reap the children other tests wait for. Each case
// runs in a forked child; its standard output and error go to files.
using testsupport::contains;
using testsupport::in_child;

// Waits (blocking SIGCHLD meanwhile) until the handler has run once.
void wait_for_sigchld() {
  sigset_t none;
  sigemptyset(&none);
  sigsuspend(&none);
}

TEST(SignalHandlers, InstalledInOrderWithoutRestart) {
  auto r = in_child([] {
    install_signal_handlers();
    struct want {
      int signo;
      void (*handler)(int);
    };
    const want table[] = {{SIGALRM, sig_alarm},
                          {SIGTERM, sig_term},
                          {SIGCHLD, sig_child},
                          {SIGHUP, sig_hup},
                          {SIGUSR1, sig_usr1}};
    int code = 10;
    for (const want& w : table) {
      struct sigaction sa;
      if (sigaction(w.signo, nullptr, &sa) != 0) return code;
      if (sa.sa_handler != w.handler) return code + 1;
      if ((sa.sa_flags & SA_RESTART) != 0) return code + 2;
      if ((sa.sa_flags & (SA_NOCLDSTOP | SA_NODEFER)) != (SA_NOCLDSTOP | SA_NODEFER))
        return code + 3;
      if (sigismember(&sa.sa_mask, SIGTERM) || sigismember(&sa.sa_mask, SIGCHLD)) return code + 4;
      code += 10;
    }
    return 0;
  });
  EXPECT_EQ(0, r.status) << "failing signal/check code";
}

TEST(SignalHandlers, HupAndUsr1SetTheirFlags) {
  auto r = in_child([] {
    install_signal_handlers();
    if (reread_config || run_queue_now) return 1;
    raise(SIGHUP);
    if (!reread_config || run_queue_now) return 2;
    raise(SIGUSR1);
    if (!run_queue_now) return 3;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
}

TEST(SignalHandlers, SignalCutsABlockingReadShort) {
  auto r = in_child([] {
    install_signal_handlers();
    int fds[2];
    if (pipe(fds) != 0) return 1;
    struct itimerval t = {};
    t.it_value.tv_usec = 20000;
    setitimer(ITIMER_REAL, &t, nullptr);
    char c;
    ssize_t n = read(fds[0], &c, 1);
    if (n != -1 || errno != EINTR) return 2;
    if (!alarm_fired) return 3;
    return 0;
  });
  EXPECT_EQ(0, r.status);
}

TEST(SignalTerm, LogsAndExitsWithZero) {
  auto r = in_child([] {
    install_signal_handlers();
    debug = 1;
    raise(SIGTERM);
    return 7;  // not reached
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("caught SIGTERM, exiting...\n", r.err);
}

TEST(SignalTerm, InteractiveLogsOnStandardOutput) {
  auto r = in_child([] {
    install_signal_handlers();
    interactive = true;
    printf("pending output ");
    raise(SIGTERM);
    return 7;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("pending output caught SIGTERM, exiting...\n", r.out);
  EXPECT_EQ("", r.err);
}

// Forks a grandchild that ends the given way and waits for the handler.
pid_t child_that(const std::function<void()>& end) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGCHLD);
  sigprocmask(SIG_BLOCK, &block, &old);
  pid_t pid = fork();
  if (pid == 0) {
    end();
    _exit(99);
  }
  wait_for_sigchld();
  sigprocmask(SIG_SETMASK, &old, nullptr);
  return pid;
}

TEST(SignalChild, DebugReportsStatusAndSignal) {
  auto r = in_child([] {
    install_signal_handlers();
    debug = 1;
    pid_t a = child_that([] { _exit(2); });
    pid_t b = child_that([] { _exit(0); });
    pid_t c = child_that([] { raise(SIGKILL); });
    pid_t d = child_that([] { raise(SIGUSR2); });
    printf("%d %d %d %d\n", a, b, c, d);
    // Every child was reaped.
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) return 1;
    return 0;
  });
  ASSERT_EQ(0, r.status) << r.err;
  int a, b, c, d;
  ASSERT_EQ(4, sscanf(r.out.c_str(), "%d %d %d %d", &a, &b, &c, &d));
  (void)b;
  std::string expected = "Child pid " + std::to_string(a) + " exited with status 2\n" +
                         "Child pid " + std::to_string(c) + " exited on signal 9 (" +
                         sigdescr_np(9) + ")\n" + "Child pid " + std::to_string(d) +
                         " exited on signal " + std::to_string(SIGUSR2) + " (" +
                         sigdescr_np(SIGUSR2) + ")\n";
  EXPECT_EQ(expected, r.err);
  EXPECT_EQ("Killed", std::string(sigdescr_np(9)));
}

TEST(SignalChild, InteractiveDebugReportsOnStandardOutput) {
  auto r = in_child([] {
    install_signal_handlers();
    debug = 1;
    interactive = true;
    pid_t a = child_that([] { _exit(5); });
    fprintf(stderr, "%d\n", a);
    return 0;
  });
  ASSERT_EQ(0, r.status);
  EXPECT_EQ("Child pid " + std::to_string(std::stoi(r.err)) + " exited with status 5\n", r.out);
}

TEST(SignalChild, WithoutDebugChildrenAreReapedSilently) {
  auto r = in_child([] {
    install_signal_handlers();
    debug = 0;
    child_that([] { _exit(3); });
    child_that([] { raise(SIGKILL); });
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) return 1;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("", r.out);
}

TEST(SignalChild, OneSignalReapsSeveralChildren) {
  auto r = in_child([] {
    install_signal_handlers();
    debug = 1;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &old);
    for (int i = 1; i <= 3; i++) {
      pid_t pid = fork();
      if (pid == 0) _exit(i);
      // Let it finish while SIGCHLD stays blocked, so one signal covers all.
      siginfo_t info;
      waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);  // the pending signal runs now
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD) return 1;
    return 0;
  });
  EXPECT_EQ(0, r.status);
  int lines = 0;
  for (char ch : r.err) lines += ch == '\n';
  EXPECT_EQ(3, lines) << r.err;
  for (int i = 1; i <= 3; i++)
    EXPECT_TRUE(contains(r.err, "exited with status " + std::to_string(i) + "\n"));
}

TEST(SignalChild, TheWatchedChildIsClearedOnlyByItsOwnEnd) {
  auto r = in_child([] {
    install_signal_handlers();
    int hold[2];
    if (pipe(hold) != 0) return 1;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &old);
    pid_t watched = fork();
    if (watched == 0) {
      close(hold[1]);
      char c;
      ssize_t n = read(hold[0], &c, 1);  // until the parent lets go
      _exit(n < 0 ? 1 : 0);
    }
    close(hold[0]);
    watched_child.store(watched);
    unsigned long others = reaped_others.load();
    child_that([] { _exit(0); });
    child_that([] { raise(SIGKILL); });
    if (watched_child.load() != watched) return 2;
    if (reaped_others.load() != others + 2) return 3;
    close(hold[1]);
    wait_for_sigchld();
    if (watched_child.load() != 0) return 4;
    if (reaped_others.load() != others + 2) return 5;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return 0;
  });
  EXPECT_EQ(0, r.status);
}

TEST(SignalChild, DescribeStatusWords) {
  char line[160];
  describe_child_status(42, 0x0200, line, sizeof line);
  EXPECT_STREQ("Child pid 42 exited with status 2", line);
  describe_child_status(42, 0x0000, line, sizeof line);
  EXPECT_STREQ("", line);
  describe_child_status(7, 0x0009, line, sizeof line);
  EXPECT_STREQ((std::string("Child pid 7 exited on signal 9 (") + sigdescr_np(9) + ")").c_str(),
               line);
  describe_child_status(7, 0x008b, line, sizeof line);
  EXPECT_STREQ(
      (std::string("Child pid 7 exited on signal 11 (") + sigdescr_np(11) + ", core dumped)")
          .c_str(),
      line);
  // Stopped, and the continued marker: nothing to say.
  describe_child_status(7, 0x137f, line, sizeof line);
  EXPECT_STREQ("", line);
  describe_child_status(7, 0x13, line, sizeof line);
  EXPECT_STREQ("", line);
  describe_child_status(4294967295u, 0xff00, line, sizeof line);
  EXPECT_STREQ("Child pid 4294967295 exited with status 255", line);
}

TEST(SignalChild, DescribeNeverOverrunsItsBuffer) {
  char line[24];
  memset(line, 'X', sizeof line);
  describe_child_status(123456, 0x0009, line, 16);
  EXPECT_EQ(15u, strlen(line));
  EXPECT_EQ('X', line[16]);
}

}  // namespace
}  // namespace callvane
