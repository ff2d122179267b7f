// A spool that fills up, and spool and lock directories that fail or vanish:
// nothing acknowledged is lost or changed, failures are answered as such,
// and the daemon and queue runs carry on once the directory is usable again.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "queue/queuefile.h"
#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/page_traffic.h"
#include "support/pty_sim.h"
#include "support/support.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

const char FAILED_PREFIX[] = "554 ";
const char PAGER_LINE[] = "pager=alice pagerid=1234567\n";
constexpr int MAX_INTAKE = 200;

// A small tmpfs over a directory, for the life of the object.
class small_fs {
 public:
  small_fs(const std::string& dir, const std::string& size) : dir_(dir) {
    std::string options = "size=" + size + ",mode=0777";
    mounted_ = mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~small_fs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  small_fs(const small_fs&) = delete;
  small_fs& operator=(const small_fs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// Fills `path` with zeros until the file system refuses more; false when it
// never did.
bool fill(const std::string& path) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::string block(4096, '\0');
  bool full = false;
  for (int i = 0; i < 1 << 16 && !full; i++)
    full = fwrite(block.data(), 1, block.size(), f) != block.size() || fflush(f) != 0;
  fclose(f);
  return full;
}

run_result queue_run(const std::string& config) {
  run_options opts;
  opts.limit = std::chrono::seconds(60);
  return run_callvane({"-d", "-q", "0", "-C", config}, opts);
}

// A run that ended by itself, failed or not: not killed, no crash.
bool survived(const run_result& r) {
  constexpr int EXIT_FAILED = 255;  // the program's exit(-1)
  return !r.timed_out && r.status >= 0 && (r.status < 128 || r.status == EXIT_FAILED);
}

using DaemonFullDiskTest = sandboxed_daemon;

TEST_F(DaemonFullDiskTest, FullSpoolRefusesPagesAndKeepsTheQueuedOnes) {
  auto started = Clock::now();
  // The filler lives outside the spool, so that the queue runs never see it.
  std::string filler_dir = setup_.dir().file("fs");
  ASSERT_EQ(0, mkdir(filler_dir.c_str(), 0777));
  small_fs fs(filler_dir, "256k");
  ASSERT_TRUE(fs.mounted()) << strerror(errno);
  std::string spool = filler_dir + "/spool";
  ASSERT_EQ(0, mkdir(spool.c_str(), 0777));
  chmod(spool.c_str(), 0777);
  // No modem to reach: every queue run tries, fails, and rewrites the pages.
  std::string config = setup_.dir().write(
      "full.conf", "queuedir=" + spool + "\nlockdir=" + setup_.dir().file("lock") +
                       "\npidfile=" + setup_.pidfile() +
                       "\nidenttimeout=0\nsnpptimeout=2\n"
                       "modem=none device=/dev/null\n"
                       "service=default device=none phone=5550100\n" +
                       PAGER_LINE);
  daemon_process d(config, -1);

  // Room for a few pages only.
  std::string filler = filler_dir + "/filler";
  ASSERT_TRUE(fill(filler));
  truncate(filler.c_str(), static_cast<off_t>(std::filesystem::file_size(filler) - 6 * 4096));

  std::map<std::string, int> acknowledged;
  std::string refusal;
  int sent = 0;
  for (; sent < MAX_INTAKE && refusal.empty(); sent++) {
    std::string text = "before full " + std::to_string(sent);
    submission s = submit_page("alice", text);
    ASSERT_TRUE(s.greeted) << d.log().substr(0, 2000);
    if (s.queued)
      acknowledged[text]++;
    else
      refusal = s.reply;
  }
  ASSERT_FALSE(acknowledged.empty()) << "some pages fitted";
  EXPECT_EQ(0u, refusal.rfind(FAILED_PREFIX, 0)) << refusal;
  const auto before = snapshot(spool, "P");
  EXPECT_EQ(acknowledged.size(), before.size());

  // Full it stays: every further page is refused, and the daemon lives on.
  for (int i = 0; i < 3; i++) {
    submission s = submit_page("alice", "while full " + std::to_string(i));
    EXPECT_TRUE(s.greeted);
    EXPECT_FALSE(s.queued) << s.reply;
    EXPECT_EQ(0u, s.reply.rfind(FAILED_PREFIX, 0)) << s.reply;
  }
  EXPECT_EQ(before, snapshot(spool, "P")) << "the queued pages are untouched";
  EXPECT_TRUE(snapshot(spool, callvane::TEMP_PREFIX).empty()) << "no temporary left";

  // A queue run cannot write the pages back: they stay as they were.
  run_result r = queue_run(config);
  EXPECT_TRUE(survived(r)) << r.status << r.err;
  EXPECT_NE(std::string::npos, r.err.find("error writing queue file")) << r.err;
  EXPECT_EQ(before, snapshot(spool, "P")) << "old files kept byte for byte";
  EXPECT_TRUE(snapshot(spool, callvane::TEMP_PREFIX).empty());

  // Space again: pages are taken, and the run writes its tries back.
  ASSERT_EQ(0, unlink(filler.c_str()));
  submission s = submit_page("alice", "after space came back");
  EXPECT_TRUE(s.queued) << s.reply;
  auto after = snapshot(spool, "P");
  EXPECT_EQ(before.size() + 1, after.size());
  for (const auto& [name, text] : before) EXPECT_EQ(text, after[name]) << name;
  r = queue_run(config);
  EXPECT_TRUE(survived(r)) << r.err;
  auto rewritten = snapshot(spool, "P");
  EXPECT_EQ(after.size(), rewritten.size());
  for (const auto& [name, text] : rewritten) {
    EXPECT_NE(std::string::npos, text.find("Tries: 1\n")) << name << text;
    auto m = message_line(text);
    ASSERT_TRUE(m) << text;
    EXPECT_TRUE(acknowledged.count(*m) || *m == "after space came back") << *m;
  }
  EXPECT_EQ(0, d.stop());
  std::cout << acknowledged.size() << " pages queued before the spool was full, " << sent
            << " sent; " << std::chrono::duration<double>(Clock::now() - started).count() << " s\n";
}

// One way for a directory to fail, and how to put it right again.
struct directory_case {
  const char* name;
  bool spool;  // the spool (else the lock directory)
  std::function<void(const std::string&)> break_it, mend;
  bool intake_fails;  // SEND is refused while it is broken
};

void PrintTo(const directory_case& c, std::ostream* os) { *os << c.name; }

std::vector<directory_case> directory_cases() {
  auto set_mode = [](mode_t mode) {
    return [mode](const std::string& dir) { ASSERT_EQ(0, chmod(dir.c_str(), mode)); };
  };
  auto vanish = [](const std::string& dir) {
    ASSERT_EQ(0, rename(dir.c_str(), (dir + ".gone").c_str()));
  };
  auto come_back = [](const std::string& dir) {
    ASSERT_EQ(0, rename((dir + ".gone").c_str(), dir.c_str()));
  };
  // Removed outright and made anew: what was in it is held elsewhere
  // meanwhile, and whoever had the old one open has a deleted directory.
  auto remove = [](const std::string& dir) {
    std::filesystem::create_directory(dir + ".held");
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      std::filesystem::rename(entry.path(), dir + ".held/" + entry.path().filename().string());
    ASSERT_EQ(0, rmdir(dir.c_str()));
  };
  auto recreate = [](const std::string& dir) {
    ASSERT_EQ(0, mkdir(dir.c_str(), 0777));
    chmod(dir.c_str(), 0777);
    for (const auto& entry : std::filesystem::directory_iterator(dir + ".held"))
      std::filesystem::rename(entry.path(), dir + "/" + entry.path().filename().string());
    std::filesystem::remove(dir + ".held");
  };
  return {
      {"UnwritableSpool", true, set_mode(0555), set_mode(0777), true},
      {"UnreadableSpool", true, set_mode(0333), set_mode(0777), false},
      {"VanishedSpool", true, vanish, come_back, false},
      {"RemovedAndRecreatedSpool", true, remove, recreate, true},
      {"UnwritableLockDirectory", false, set_mode(0555), set_mode(01777), false},
      {"VanishedLockDirectory", false, vanish, come_back, false},
  };
}

class FailingDirectory : public DaemonFullDiskTest,
                         public ::testing::WithParamInterface<directory_case> {};

TEST_P(FailingDirectory, DaemonAndQueueRunsLogItAndRecover) {
  const directory_case& c = GetParam();
  pty_sim sim;
  std::string config = setup_.write_sim_config(sim.device());
  daemon_process d(config, -1);
  submission first = submit_page("alice", "queued before");
  ASSERT_TRUE(first.queued) << first.reply;

  const std::string dir = c.spool ? setup_.spool() : setup_.dir().file("lock");
  c.break_it(dir);
  submission during = submit_page("alice", "sent while broken");
  EXPECT_TRUE(during.greeted) << d.log().substr(0, 2000);
  if (c.intake_fails) {
    EXPECT_FALSE(during.queued) << during.reply;
    EXPECT_EQ(0u, during.reply.rfind(FAILED_PREFIX, 0)) << during.reply;
  }
  // A queue run started by the daemon, then one from the command line.
  d.signal(SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(wait_for_children(d.pid(), 0, std::chrono::seconds(30)));
  run_result r = queue_run(config);
  EXPECT_TRUE(survived(r)) << r.status << r.err;
  EXPECT_NE(std::string::npos, r.err.find(c.spool ? "QueueDir" : "LockDir")) << r.err;
  c.mend(dir);

  // Mended: the daemon queues again, and a run delivers everything.
  submission after = submit_page("alice", "sent after");
  EXPECT_TRUE(after.queued) << after.reply << d.log().substr(0, 4000);
  r = queue_run(config);
  EXPECT_EQ(0, r.status) << r.err;
  std::map<std::string, int> delivered;
  for (const auto& b : sim.events("block"))
    if (b.size() > 3) delivered[b[3]]++;
  // Each page once: whether a run got through while it was broken (the
  // daemon's own run finds a renamed spool) or only now.
  EXPECT_EQ(1, delivered["queued before"]) << sim.record();
  EXPECT_EQ(1, delivered["sent after"]) << sim.record();
  EXPECT_EQ(during.queued ? 1 : 0, delivered["sent while broken"]) << sim.record();
  EXPECT_TRUE(setup_.spool_files("P").empty());
  EXPECT_EQ(0, d.stop()) << "the daemon survived";
}

INSTANTIATE_TEST_SUITE_P(Directories, FailingDirectory, ::testing::ValuesIn(directory_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
