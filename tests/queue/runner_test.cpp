// The queue runner in-process: the queue lock, what is read, what is written back.
#include "queue/runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include "common/settings.h"
#include "queue/queuefile.h"
#include "queue/spool.h"
#include "queue/spool_fixture.h"
#include "support/support.h"

using spooltest::page_file;
using spooltest::recipient;
using testsupport::contains;
using testsupport::read_file;

namespace {

const char NO_DEVICE[] = "/dev/null";

class RunnerTest : public ::testing::Test {
 protected:
  // One run in a child with debug traces on standard error; the status is
  // the run's result (255 for -1), or 99 when the configuration fails.
  testsupport::child_result run_once() {
    std::string conf = spool_.config(NO_DEVICE);
    return testsupport::in_child([conf] {
      umask(0);
      callvane::debug = 1;
      if (callvane::load_config_and_spool(conf) != 0) return 99;
      return callvane::run_queue() & 0xff;
    });
  }
  spooltest::spool spool_;
};

// Holds the queue lock in another process until destroyed.
class lock_holder {
 public:
  explicit lock_holder(const std::string& dir) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release_[1]);
      char c = 'n';
      if (chdir(dir.c_str()) == 0 && callvane::lock_queue() >= 0) c = 'y';
      if (write(ready[1], &c, 1) != 1) _exit(1);
      // Until the test lets go (or dies: then the read ends with 0).
      if (read(release_[0], &c, 1) < 0) _exit(1);
      _exit(0);
    }
    close(ready[1]);
    close(release_[0]);
    char c = 'n';
    held_ = read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
  }
  ~lock_holder() {
    close(release_[1]);
    int status;
    waitpid(pid_, &status, 0);
  }
  bool held() const { return held_; }

 private:
  pid_t pid_ = -1;
  int release_[2] = {-1, -1};
  bool held_ = false;
};

TEST_F(RunnerTest, EmptyQueueTakesTheLockAndDeliversNothing) {
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "getting job list\npending jobs: 0\n"));
  EXPECT_FALSE(contains(r.err, "sending job list"));
  EXPECT_FALSE(contains(r.err, "writing job list"));
  struct stat st;
  ASSERT_EQ(stat(spool_.file("lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u);
}

TEST_F(RunnerTest, LockFileIsNeverTruncated) {
  spool_.put("lock", "left by someone\n");
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(spool_.file("lock")), "left by someone\n");
}

TEST_F(RunnerTest, SecondRunGivesUpSilentlyWhileTheLockIsHeld) {
  spool_.put("P912345678.000", "Version: 3\n-\nMessage: nobody\n");
  {
    lock_holder holder(spool_.dir());
    ASSERT_TRUE(holder.held());
    auto r = run_once();
    EXPECT_EQ(r.status, 255);
    EXPECT_FALSE(contains(r.err, "job list"));
    EXPECT_FALSE(contains(r.err, "lock"));
    EXPECT_TRUE(testsupport::file_exists(spool_.file("P912345678.000")));
  }
  // Once the other run is gone the queue is run again.
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(testsupport::file_exists(spool_.file("P912345678.000")));
}

TEST_F(RunnerTest, UnopenableLockFileIsAnError) {
  ASSERT_EQ(mkdir(spool_.file("lock").c_str(), 0777), 0);
  auto r = run_once();
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "cannot open queue lockfile: Is a directory\n"));
}

TEST_F(RunnerTest, BadPageIsNeitherReadNorChanged) {
  std::string text = spooltest::queue_text(page_file{{{"alice"}}});
  spool_.put("B912345678.000", text);
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "pending jobs: 0\n"));
  EXPECT_FALSE(contains(r.err, "alice"));
  EXPECT_EQ(read_file(spool_.file("B912345678.000")), text);
  EXPECT_EQ(spool_.names().size(), 2u) << "the B file and the lock only";
}

TEST_F(RunnerTest, PageWithoutRecipientsIsRemoved) {
  spool_.put("P912345678.000", spooltest::queue_text(page_file{}));
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "pending jobs: 0\n"));
  EXPECT_TRUE(contains(r.err, "writing job list\n"));
  EXPECT_EQ(spool_.names(), (std::vector<std::string>{"finished", "lock"}));
}

TEST_F(RunnerTest, HeldPageIsCountedAndWrittenBackReversed) {
  int64_t later = time(nullptr) + 86400;
  page_file held{{{"alice", 0, 0, later}, {"bob", 2, 1, later + 60, 912345000, 0x0008}},
                 "ops@example.org",
                 "gw.example.org",
                 "held back",
                 912345678,
                 "HeLd001"};
  spool_.put("P912345678.000", spooltest::queue_text(held));
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "pending jobs: 2\n"));
  EXPECT_FALSE(contains(r.err, "sending job list"));
  std::swap(held.rcpts[0], held.rcpts[1]);
  EXPECT_EQ(read_file(spool_.file("P912345678.000")), spooltest::queue_text(held));
}

TEST_F(RunnerTest, DueRecipientIsTriedAndTheAttemptRecorded) {
  page_file due{{{"alice"}}};
  spool_.put("P912345678.000", spooltest::queue_text(due));
  int64_t before = time(nullptr);
  auto r = run_once();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(contains(r.err, "pending jobs: 1\nsending job list\n"));
  EXPECT_TRUE(contains(r.err, "writing job list\n"));
  auto p = testsupport::in_child([&] {
    if (chdir(spool_.dir().c_str()) != 0) return 99;
    auto pg = callvane::read_page("P912345678.000");
    if (!pg || pg->rcpts.size() != 1) return 98;
    const callvane::rcpt& rc = pg->rcpts.front();
    printf("%d %d %u %d", rc.tries, rc.goodtries, rc.flags, rc.lasttry >= before);
    return 0;
  });
  EXPECT_EQ(p.status, 0);
  // No modem could be opened: tried once, not counted against maxtries.
  EXPECT_EQ(p.out, "1 0 16 1");
}

TEST_F(RunnerTest, RefusedFileIsLeftForLaterRuns) {
  std::string text = "Version: 2\nTries: 0\nPager: alice\n-\nMessage: old\n";
  spool_.put("P912345678.000", text);
  for (int run = 0; run < 2; run++) {
    auto r = run_once();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "pending jobs: 0\n"));
  }
  EXPECT_EQ(read_file(spool_.file("P912345678.000")), text);
}

}  // namespace
