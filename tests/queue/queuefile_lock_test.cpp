// Queue file locks across processes, and the cleaning of stale temporaries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>

#include "queue/queuefile.h"
#include "queue/queuefile_fixture.h"
#include "support/support.h"
#include "support/wait.h"

using namespace callvane;
using queuefile_test::QueueFileSpool;

namespace {

using testsupport::contains;
using testsupport::exit_code;

class QueueFileLocks : public QueueFileSpool {};

// 0 when another process is granted the lock at once, 1 when it is refused
// as held, 2 on any other outcome.
int probe_lock(const std::string& name, bool exclusive) {
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(name.c_str(), O_RDWR);
    if (fd < 0) _exit(2);
    if (lock_file(fd, exclusive, false) == 0) _exit(0);
    _exit(errno == EAGAIN || errno == EACCES ? 1 : 2);
  }
  return exit_code(pid);
}

// True once the system lists a process of that id as waiting for a lock.
bool waits_for_lock(pid_t pid) {
  const std::string mark = " " + std::to_string(pid) + " ";
  auto listed = [&] {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line))
      if (line.find("->") != std::string::npos && line.find(mark) != std::string::npos) return true;
    return false;
  };
  return testsupport::wait_until(listed, std::chrono::seconds(10));
}

TEST_F(QueueFileLocks, SharedAndExclusive) {
  const struct {
    int holder;  // 0 none, 1 shared, 2 exclusive
    bool exclusive;
    int expected;
  } cases[] = {
      {0, false, 0}, {0, true, 0}, {1, false, 0}, {1, true, 1}, {2, false, 1}, {2, true, 1},
  };
  put("P1.000", "Version: 3\n");
  for (const auto& c : cases) {
    int fd = open("P1.000", O_RDWR);
    ASSERT_GE(fd, 0);
    if (c.holder != 0) {
      ASSERT_EQ(0, lock_file(fd, c.holder == 2, false));
    }
    EXPECT_EQ(c.expected, probe_lock("P1.000", c.exclusive))
        << "holder " << c.holder << " exclusive " << c.exclusive;
    close(fd);
  }
  // Closing released the last lock.
  EXPECT_EQ(0, probe_lock("P1.000", true));
}

TEST_F(QueueFileLocks, WaitingLockIsGrantedOnRelease) {
  put("P1.000", "Version: 3\n");
  int fd = open("P1.000", O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, lock_file(fd, true, true));
  pid_t pid = fork();
  if (pid == 0) {
    int mine = open("P1.000", O_RDWR);
    if (mine < 0 || lock_file(mine, false, true) != 0) _exit(2);
    _exit(access("released", F_OK) == 0 ? 0 : 1);
  }
  ASSERT_TRUE(waits_for_lock(pid));
  put("released", "");
  close(fd);
  EXPECT_EQ(0, exit_code(pid));
}

TEST_F(QueueFileLocks, ReaderWaitsForWriterAndReadsTheNewFile) {
  put("P1.000", "Version: 3\nPager: ann\n-\nMessage: old\n");
  int fd = open("P1.000", O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, lock_file(fd, true, true));
  pid_t pid = fork();
  if (pid == 0) {
    debug = 0;
    std::unique_ptr<page> p = read_page("P1.000");
    _exit(p && p->message == "new" ? 0 : 1);
  }
  ASSERT_TRUE(waits_for_lock(pid));
  put("next", "Version: 3\nPager: ann\n-\nMessage: new\n");
  ASSERT_EQ(0, rename("next", "P1.000"));
  close(fd);
  EXPECT_EQ(0, exit_code(pid));
}

// ---- stale temporaries ----

class QueueFileTemporaries : public QueueFileSpool {
 protected:
  void TearDown() override {
    for (pid_t pid : live_) {
      kill(pid, SIGKILL);
      exit_code(pid);
    }
    QueueFileSpool::TearDown();
  }

  // A process id that no process has any more.
  static pid_t dead_pid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    exit_code(pid);
    return pid;
  }

  // A process that creates `name` (locked when `lock`) and then waits.
  pid_t holder(const std::string& name, bool lock) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      int fd = open(name.c_str(), O_WRONLY | O_CREAT, 0644);
      if (fd < 0 || (lock && lock_file(fd, true, true) != 0)) _exit(2);
      if (write(ready[1], "x", 1) != 1) _exit(2);
      pause();
      _exit(0);
    }
    close(ready[1]);
    char c;
    bool ok = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    live_.push_back(pid);
    return ok ? pid : -1;
  }

  std::vector<pid_t> live_;
};

TEST_F(QueueFileTemporaries, OnlyThoseOfDeadWritersGo) {
  const std::string dead = std::to_string(dead_pid());
  const std::string gone = "tmp." + dead + ".0";
  const std::string gone_too = "tmp." + dead + ".17";
  put(gone, "Version: 3\nPag");
  put(gone_too, "");
  // Names of another form are not a writer's: left alone even when dead.
  const std::string others[] = {"tmp." + dead,         "tmp." + dead + ".", "tmp.x" + dead + ".1",
                                "tmp." + dead + ".1a", "tmpfile",           "P" + dead + ".000",
                                "B" + dead + ".000"};
  for (const std::string& n : others) put(n, "");

  pid_t unlocked_live = holder("tmp.placeholder", false);
  ASSERT_GT(unlocked_live, 0);
  const std::string alive_unlocked = "tmp." + std::to_string(unlocked_live) + ".0";
  put(alive_unlocked, "x");
  pid_t locked_live = holder("tmp.placeholder2", true);
  ASSERT_GT(locked_live, 0);
  const std::string alive_locked = "tmp." + std::to_string(locked_live) + ".3";
  ASSERT_GT(holder(alive_locked, true), 0);
  // A dead pid in the name, but some live process holds the lock.
  const std::string dead_but_locked = "tmp." + dead + ".5";
  ASSERT_GT(holder(dead_but_locked, true), 0);

  std::string log = logged([] { remove_stale_temporaries(); });
  EXPECT_TRUE(contains(log, "removed stale temporary file " + gone + "\n"));
  EXPECT_TRUE(contains(log, "removed stale temporary file " + gone_too + "\n"));
  EXPECT_EQ(2u, std::count(log.begin(), log.end(), '\n')) << log;
  EXPECT_FALSE(testsupport::file_exists(gone));
  EXPECT_FALSE(testsupport::file_exists(gone_too));
  for (const std::string& n : others) EXPECT_TRUE(testsupport::file_exists(n)) << n;
  EXPECT_TRUE(testsupport::file_exists(alive_unlocked));
  EXPECT_TRUE(testsupport::file_exists(alive_locked));
  EXPECT_TRUE(testsupport::file_exists(dead_but_locked));
  EXPECT_TRUE(testsupport::file_exists("tmp.placeholder"));
}

TEST_F(QueueFileTemporaries, WriterLeavesNoTemporary) {
  page p;
  p.rcpts.emplace_back();
  p.rcpts.front().pager = "ann";
  p.message = "hi";
  p.messageid = "Xx00001";
  ASSERT_EQ(1, write_new_page(p));
  p.rcpts.front().tries = 3;
  ASSERT_EQ(1, write_page(p));
  EXPECT_EQ(std::vector<std::string>{*p.filename}, entries());
}

}  // namespace
