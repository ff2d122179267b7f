// Queue files survive a full spool and writers killed at any moment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "queue/queuefile.h"
#include "queue/queuefile_fixture.h"
#include "support/support.h"

using namespace callvane;
using queuefile_test::QueueFileSpool;

namespace {

page numbered_page(unsigned seed) {
  page p;
  p.rcpts.emplace_back();
  p.rcpts.front().pager = "pager" + std::to_string(seed % 7);
  p.created = 912000000 + seed;
  p.messageid = "K" + std::to_string(seed);
  // Most messages need the Bytes line to be read whole.
  p.message = "m" + std::to_string(seed) + ":" +
              std::string(900 + (seed * 37) % 3000, static_cast<char>('a' + seed % 26));
  return p;
}

// True when `p` is the complete page that numbered_page made.
bool intact(const page& p) {
  if (!p.messageid || p.messageid->size() < 2 || (*p.messageid)[0] != 'K') return false;
  unsigned seed = static_cast<unsigned>(std::stoul(p.messageid->substr(1)));
  page expected = numbered_page(seed);
  return p.message == expected.message && p.created == expected.created && p.rcpts.size() == 1 &&
         p.rcpts.front().pager == expected.rcpts.front().pager && p.rcpts.front().tries <= 1;
}

// The spool on a small file system of its own, in a private mount space.
class QueueFileFullSpool : public QueueFileSpool {
 protected:
  void SetUp() override {
    QueueFileSpool::SetUp();
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
      GTEST_SKIP() << "no private mounts here: " << strerror(errno);
    ASSERT_EQ(0, mount("tmpfs", spool_.path().c_str(), "tmpfs", 0, "size=256k,mode=0777"))
        << strerror(errno);
    mounted_ = true;
    ASSERT_EQ(0, chdir(spool_.path().c_str()));
  }
  void TearDown() override {
    QueueFileSpool::TearDown();
    if (mounted_) umount2(spool_.path().c_str(), MNT_DETACH);
  }

  // Takes every byte left.
  static void fill() {
    int fd = open("filler", O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(fd, 0);
    std::string block(4096, 'f');
    for (int i = 0; i < 10000 && write(fd, block.data(), block.size()) > 0;) ++i;
    for (int i = 0; i < 4096 && write(fd, "f", 1) == 1;) ++i;
    ASSERT_EQ(-1, write(fd, "f", 1));
    ASSERT_EQ(ENOSPC, errno);
    close(fd);
  }

  bool mounted_ = false;
};

TEST_F(QueueFileFullSpool, NewPageFailsWithoutTrace) {
  fill();
  page p = numbered_page(1);
  std::string log = logged([&] { EXPECT_EQ(-1, write_new_page(p)); });
  EXPECT_EQ("error writing queue file: No space left on device\n", log);
  EXPECT_FALSE(p.filename);
  EXPECT_EQ(std::vector<std::string>{"filler"}, entries());
}

TEST_F(QueueFileFullSpool, RewriteFailsAndOldFileStays) {
  page p = numbered_page(2);
  ASSERT_EQ(1, write_new_page(p));
  const std::string name = *p.filename;
  const std::string before = testsupport::read_file(name);
  fill();

  p.rcpts.front().tries = 1;
  std::string log = logged([&] { EXPECT_EQ(-1, write_page(p)); });
  EXPECT_EQ("error writing queue file: No space left on device\n", log);
  EXPECT_EQ(before, testsupport::read_file(name));
  EXPECT_EQ((std::vector<std::string>{name, "filler"}), entries());

  p.flags |= F_BADPAGE;
  EXPECT_EQ(-1, write_page(p));
  EXPECT_EQ(before, testsupport::read_file(name));
  EXPECT_EQ((std::vector<std::string>{name, "filler"}), entries());

  // Room again: the same write goes through.
  ASSERT_EQ(0, unlink("filler"));
  p.flags = 0;
  EXPECT_EQ(1, write_page(p));
  std::unique_ptr<page> back = read_page(name);
  ASSERT_TRUE(back);
  EXPECT_EQ(1, back->rcpts.front().tries);
}

class QueueFileKilledWriter : public QueueFileSpool {};

// A writer that creates and rewrites pages until it is killed, and tells
// the name of each page only once write_page has reported it written.
[[noreturn]] void writer(unsigned first_seed, int ack) {
  debug = 0;
  for (unsigned k = 0; k < 40; ++k) {
    page p = numbered_page(first_seed + k);
    if (write_new_page(p) != 1) _exit(3);
    std::string line = *p.filename + "\n";
    if (write(ack, line.data(), line.size()) != static_cast<ssize_t>(line.size())) _exit(4);
    p.rcpts.front().tries = 1;
    if (write_page(p) != 1) _exit(5);
  }
  _exit(0);
}

TEST_F(QueueFileKilledWriter, NoPageIsLostOrTorn) {
  debug = 0;
  std::mt19937 random(20240601);
  std::uniform_int_distribution<int> delay_us(0, 3000);
  int kills = 0, temporaries_seen = 0, torn_candidates = 0;
  for (int round = 0; round < 250; ++round) {
    int ack[2];
    ASSERT_EQ(0, pipe(ack));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(ack[0]);
      writer(static_cast<unsigned>(round) * 100, ack[1]);
    }
    close(ack[1]);
    usleep(static_cast<useconds_t>(delay_us(random)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0));
    if (WIFSIGNALED(status)) {
      ++kills;
    } else {
      ASSERT_EQ(0, WEXITSTATUS(status)) << "writer failed in round " << round;
    }
    std::string acked;
    char buf[4096];
    for (ssize_t n; (n = read(ack[0], buf, sizeof buf)) > 0;) acked.append(buf, n);
    close(ack[0]);

    std::set<std::string> present;
    for (const std::string& name : entries()) {
      if (name[0] == 'P') {
        present.insert(name);
        std::unique_ptr<page> p = read_page(name);
        ASSERT_TRUE(p && intact(*p)) << "torn page " << name << " in round " << round << ":\n"
                                     << testsupport::read_file(name).substr(0, 300);
      } else if (name.rfind(TEMP_PREFIX, 0) == 0) {
        ++temporaries_seen;
      } else {
        ADD_FAILURE() << "unexpected file " << name;
      }
    }
    std::istringstream lines(acked);
    for (std::string name; std::getline(lines, name);)
      ASSERT_EQ(1u, present.count(name)) << "acknowledged page " << name << " lost";
    torn_candidates +=
        static_cast<int>(present.size() - std::count(acked.begin(), acked.end(), '\n'));

    remove_stale_temporaries();
    for (const std::string& name : entries()) {
      ASSERT_NE(0u, name.rfind(TEMP_PREFIX, 0)) << "stale " << name << " left";
      ASSERT_EQ(0, unlink(name.c_str()));
    }
  }
  std::cout << kills << " writers killed; " << temporaries_seen << " temporaries left by them; "
            << torn_candidates << " pages named but not yet acknowledged\n";
}

}  // namespace
