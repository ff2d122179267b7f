// The queue from outside: callvane -q 0 delivering through the simulator,
// -Q listing, and queue runs racing writers of new pages.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <map>
#include <thread>

#include "queue/queuefile.h"
#include "queue/spool_fixture.h"
#include "support/pty_sim.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/wait.h"

using spooltest::page_file;
using spooltest::recipient;
using testsupport::contains;
using testsupport::pty_sim;
using testsupport::read_file;
using testsupport::run_callvane;

namespace {

testsupport::run_options limited(int seconds) {
  testsupport::run_options opts;
  opts.limit = std::chrono::seconds(seconds);
  opts.env["TZ"] = "UTC";
  return opts;
}

testsupport::run_result queue_run(const std::string& conf, int seconds = 60) {
  return run_callvane({"-q", "0", "-C", conf}, limited(seconds));
}

std::vector<std::string> texts_of(const std::vector<std::vector<std::string>>& blocks) {
  std::vector<std::string> texts;
  for (const auto& b : blocks) texts.push_back(b.size() > 3 ? b[2] + " " + b[3] : "?");
  std::sort(texts.begin(), texts.end());
  return texts;
}

TEST(QueueProgram, RunDeliversEveryDuePageAndRemovesItsFile) {
  spooltest::spool s;
  pty_sim sim;
  s.put("P912345678.000",
        spooltest::queue_text(page_file{{{"alice"}, {"bob", 1, 1, 0, 912345600, 0x0008}},
                                        std::nullopt,
                                        std::nullopt,
                                        "disk full"}));
  s.put("P912345679.000",
        spooltest::queue_text(page_file{{{"bob"}}, std::nullopt, std::nullopt, "db down"}));
  auto r = queue_run(s.config(sim.device()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(texts_of(sim.events("block")),
            (std::vector<std::string>{"1111111 disk full", "2222222 db down", "2222222 disk full"}))
      << sim.record();
  EXPECT_EQ(sim.events("dial").size(), 1u) << "one service, one call";
  EXPECT_EQ(s.names(), (std::vector<std::string>{"finished", "lock"})) << "and their record";
}

TEST(QueueProgram, BusyServiceLeavesThePageWithTheAttemptRecorded) {
  spooltest::spool s;
  pty_sim sim({"--dial-result", "BUSY"});
  s.put("P912345678.000",
        spooltest::queue_text(page_file{{{"alice", 4, 0, 0, 912345600, 0x0004}}}));
  auto r = queue_run(s.config(sim.device()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sim.events("dial").size(), 1u) << sim.record();
  EXPECT_TRUE(sim.events("block").empty());
  std::string text = read_file(s.file("P912345678.000"));
  // Busy never counts against maxtries, so the recipient stays pending.
  EXPECT_TRUE(contains(text, "\nTries: 5\nFlags: 4 ( F_BUSY )\nPager: alice\n"));
  EXPECT_TRUE(contains(text, "\nLasttry: "));
}

TEST(QueueProgram, ExhaustedRecipientsFailAndAnAllFailedPageIsSetAside) {
  spooltest::spool s;
  pty_sim sim;
  int64_t later = time(nullptr) + 86400;
  // maxtries is 3 in the test configuration.
  s.put("P912345678.000",
        spooltest::queue_text(page_file{{{"alice", 5, 3, 0, 912345600, 0x0008}}}));
  s.put("P912345679.000", spooltest::queue_text(page_file{
                              {{"alice", 3, 3, 0, 912345600, 0x0100}, {"bob", 0, 0, later}}}));
  auto r = queue_run(s.config(sim.device()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sim.events("dial").empty()) << sim.record();
  EXPECT_FALSE(testsupport::file_exists(s.file("P912345678.000")));
  std::string bad = read_file(s.file("B912345678.000"));
  // The outcome of the last attempt stays beside the final mark.
  EXPECT_TRUE(contains(
      bad, "\nTries: 5\nGoodtries: 3\nFlags: 10 ( F_FAILED F_NOCARRIER )\nPager: alice\n"));
  // The held recipient keeps its page pending; the other one is given up.
  std::string kept = read_file(s.file("P912345679.000"));
  EXPECT_TRUE(contains(kept, "Flags: 258 ( F_FAILED F_REJECT )\nPager: alice\n-\n"));
}

TEST(QueueProgram, UnknownPagerSetsThePageAside) {
  spooltest::spool s;
  s.put("P912345678.000", spooltest::queue_text(page_file{{{"nobody"}}}));
  auto r = queue_run(s.config("/dev/null"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(testsupport::file_exists(s.file("B912345678.000")));
  EXPECT_FALSE(testsupport::file_exists(s.file("P912345678.000")));
}

TEST(QueueProgram, SingleRunIsAConfigurationCheck) {
  spooltest::spool s;
  auto good = run_callvane({"-d", "-q", "0", "-C", s.config("/dev/null")}, limited(30));
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_TRUE(contains(good.err, "pending jobs: 0\n"));
  auto bad =
      run_callvane({"-d", "-q", "0", "-C", s.config("/dev/null", "bogus line\n")}, limited(30));
  EXPECT_EQ(bad.status, 255);
  EXPECT_TRUE(contains(bad.err, "Error reading configuration file\n"));
  EXPECT_FALSE(contains(bad.err, "pending jobs"));
}

TEST(QueueProgram, RunExitsZeroWhileAnotherRunHoldsTheLock) {
  spooltest::spool s;
  std::string conf = s.config("/dev/null");
  s.put("P912345678.000", spooltest::queue_text(page_file{}));
  // flock(1) takes a different kind of lock; hold a record lock ourselves.
  int fd = open(s.file("lock").c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  fchmod(fd, 0666);
  ASSERT_EQ(callvane::lock_file(fd, true, false), 0);
  auto r = run_callvane({"-d", "-q", "0", "-C", conf}, limited(30));
  close(fd);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(contains(r.err, "job list"));
  EXPECT_FALSE(contains(r.err, "lockfile"));
  EXPECT_TRUE(testsupport::file_exists(s.file("P912345678.000")));
}

class QueueListing : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
    // -Q takes no -C: the default configuration file names the spool.
    std::string conf = read_file(spool_.config("/dev/null"));
    FILE* f = fopen("/usr/local/etc/callvane.conf", "w");
    ASSERT_NE(f, nullptr);
    fputs(conf.c_str(), f);
    fclose(f);
  }
  testsupport::run_result list() { return run_callvane({"-Q"}, limited(60)); }
  spooltest::spool spool_;
};

TEST_F(QueueListing, EmptyQueue) {
  spool_.put("lock", "");
  auto r = list();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "The page queue is empty.\n");
}

TEST_F(QueueListing, StatusIsTheNumberOfPagesAndTheListEndsInAnEmptyLine) {
  for (int i = 0; i < 3; i++)
    spool_.put("P91234567" + std::to_string(i) + ".000",
               spooltest::queue_text(page_file{{{"alice"}}}));
  auto r = list();
  EXPECT_EQ(r.status, 3) << r.err;
  const std::string tail = "\t    To: pager=alice\n\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
}

TEST_F(QueueListing, StatusStopsAt255) {
  const int count = 300;
  for (int i = 0; i < count; i++)
    spool_.put("P" + std::to_string(912340000 + i) + ".000",
               spooltest::queue_text(page_file{{{"alice"}}}));
  auto r = list();
  EXPECT_EQ(r.status, 255) << r.err;
  size_t listed = 0;
  for (size_t at = 0; (at = r.out.find("ID=", at)) != std::string::npos; at++) listed++;
  EXPECT_EQ(listed, static_cast<size_t>(count));
}

// How the racing writers make their pages.
struct race_plan {
  int writers = 4;
  int per_writer = 75;
  int pause_ms = 0;       // between two pages of one writer
  int64_t holduntil = 0;  // of every recipient
};

std::string race_message(int writer, int n) {
  return "race " + std::to_string(writer) + " " + std::to_string(n);
}

// Writes the pages of one writer as the run-as user. New names run out when
// many pages are made within one second, so a refused write is tried again
// for a while.
int write_pages(const std::string& dir, int writer, const race_plan& plan) {
  if (chdir(dir.c_str()) != 0 || setgid(spooltest::spool::RUN_AS) != 0 ||
      setuid(spooltest::spool::RUN_AS) != 0)
    return 2;
  for (int n = 0; n < plan.per_writer; n++) {
    callvane::page p;
    p.message = race_message(writer, n);
    p.messageid = "RACE" + std::to_string(n % 1000);
    callvane::rcpt r;
    r.pager = "alice";
    r.holduntil = plan.holduntil;
    p.rcpts.push_back(r);
    auto written = [&] {
      p.created = time(nullptr);
      p.filename.reset();
      return callvane::write_new_page(p) == 1;
    };
    if (!testsupport::wait_until(written, std::chrono::seconds(5))) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(plan.pause_ms));
  }
  return 0;
}

// Runs `callvane -q 0` in two loops, this process and a rival one that
// contends for the queue lock, for as long as the writers write. Returns
// false when a writer or a run failed.
bool race(const spooltest::spool& s, const std::string& conf, const race_plan& plan) {
  const auto limit = std::chrono::seconds(120);
  const std::string stop = s.root() + "/stop";
  std::vector<pid_t> writers;
  for (int w = 0; w < plan.writers; w++) {
    pid_t pid = fork();
    if (pid == 0) _exit(write_pages(s.dir(), w, plan));
    if (pid > 0) writers.push_back(pid);
  }
  pid_t rival = fork();
  if (rival == 0) {
    auto stopped = [&] {
      if (testsupport::file_exists(stop)) return true;
      if (queue_run(conf).status != 0) _exit(1);
      return false;
    };
    testsupport::wait_until(stopped, limit, std::chrono::milliseconds(20));
    _exit(0);
  }
  bool ok = rival > 0 && static_cast<int>(writers.size()) == plan.writers;
  size_t running = writers.size();
  auto written = [&] {
    if (queue_run(conf).status != 0) ok = false;
    for (pid_t& pid : writers) {
      int status;
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ok = false;
        pid = -1;
        running--;
      }
    }
    return running == 0;
  };
  testsupport::wait_until(written, limit, std::chrono::milliseconds(0));
  s.put("../stop", "");
  int status;
  for (pid_t pid : writers) {
    if (pid <= 0) continue;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    ok = false;
  }
  if (rival > 0 &&
      (waitpid(rival, &status, 0) != rival || !WIFEXITED(status) || WEXITSTATUS(status) != 0))
    ok = false;
  return ok;
}

// How often each page of the plan occurs in `seen`; every one must occur
// exactly once.
void expect_each_once(const std::map<std::string, int>& seen, const race_plan& plan) {
  int missing = 0, repeated = 0;
  for (int w = 0; w < plan.writers; w++)
    for (int n = 0; n < plan.per_writer; n++) {
      auto it = seen.find(race_message(w, n));
      if (it == seen.end())
        missing++;
      else if (it->second != 1)
        repeated++;
    }
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(repeated, 0);
  EXPECT_EQ(seen.size(), static_cast<size_t>(plan.writers * plan.per_writer));
}

TEST(QueueRace, HeldPagesRewrittenByEveryRunAreAllKept) {
  spooltest::spool s;
  race_plan plan;
  plan.holduntil = time(nullptr) + 86400;
  // No recipient is due, so runs are quick and each one reads and rewrites
  // every page while new ones keep coming.
  ASSERT_TRUE(race(s, s.config("/dev/null"), plan));
  std::map<std::string, int> queued;
  for (const std::string& name : s.names()) {
    if (name == "lock") continue;
    EXPECT_EQ(name[0], 'P') << name;
    std::string text = read_file(s.file(name));
    size_t at = text.find("\nMessage: ");
    size_t end = text.find('\n', at + 1);
    if (at == std::string::npos || end == std::string::npos ||
        text.find("Pager: alice\n") == std::string::npos) {
      ADD_FAILURE() << name << " is damaged:\n" << text;
      continue;
    }
    queued[text.substr(at + 10, end - at - 10)]++;
  }
  expect_each_once(queued, plan);
}

TEST(QueueRace, EveryPageWrittenDuringRunsIsDeliveredExactlyOnce) {
  spooltest::spool s;
  pty_sim sim;
  std::string conf = s.config(sim.device());
  race_plan plan;
  // Spread over several deliveries, each a few seconds long.
  plan.pause_ms = 120;
  ASSERT_TRUE(race(s, conf, plan));
  // Whatever the racing runs left is delivered by the last ones.
  // Left: the queue lock and the record of the pages that left.
  const std::vector<std::string> done{"finished", "lock"};
  for (int i = 0; i < 5 && s.names() != done; i++) queue_run(conf);
  EXPECT_EQ(s.names(), done);

  std::map<std::string, int> delivered;
  for (const auto& b : sim.events("block"))
    if (b.size() > 3) delivered[b[3]]++;
  expect_each_once(delivered, plan);
}

}  // namespace
