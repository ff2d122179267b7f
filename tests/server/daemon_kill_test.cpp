// Session and queue-run children of the daemon killed at random moments:
// no acknowledged page is lost, torn or delivered beyond the killed runs.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
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

// The pager of write_sim_config.
const char PAGER[] = "alice";
const char PAGER_ID[] = "1234567";
constexpr int CLIENTS = 3;
constexpr int FINAL_RUNS = 20;

// A session child holds a connection, a socket the daemon itself does not
// have; a queue-run child holds none but (briefly) the listener.
bool is_session(pid_t child, const std::set<std::string>& daemon_sockets) {
  for (const std::string& s : sockets_of(child))
    if (!daemon_sockets.count(s)) return true;
  return false;
}

// The messages of the pending pages in the spool now.
std::set<std::string> pending_messages(const std::string& spool) {
  std::set<std::string> messages;
  for (const auto& [name, text] : snapshot(spool, "P"))
    if (auto m = message_line(text)) messages.insert(*m);
  return messages;
}

// The pid that a device lock file names, or -1.
long lock_pid(const std::string& path) {
  std::string text = read_file(path);
  char* end = nullptr;
  long pid = strtol(text.c_str(), &end, 10);
  return end == text.c_str() ? -1 : pid;
}

class DaemonKillTest : public sandboxed_daemon {
 protected:
  // Clients that queue pages, each text unique, until told to stop.
  void client(int number, std::atomic<bool>& stop) {
    std::mt19937 random(seed_ + static_cast<unsigned>(number));
    std::uniform_int_distribution<int> pause_ms(50, 250);
    // Sessions held open a while, so that session children are there to be
    // killed at every stage: before SEND, during it, after the reply.
    std::uniform_int_distribution<int> linger_ms(0, 400);
    for (int n = 0; !stop; n++) {
      std::string text = "kill" + std::to_string(number) + "n" + std::to_string(n);
      submission s = submit_page(PAGER, text, 444, std::chrono::seconds(10),
                                 std::chrono::milliseconds(linger_ms(random)));
      std::lock_guard<std::mutex> hold(mutex_);
      if (s.queued) acknowledged_[text]++;
      if (s.greeted && !s.queued) unanswered_++;
      std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(random)));
    }
  }

  unsigned seed_ = 0;
  std::mutex mutex_;
  std::map<std::string, int> acknowledged_;
  int unanswered_ = 0;
};

TEST_F(DaemonKillTest, KilledChildrenLoseNoAcknowledgedPage) {
  seed_ = env_seed("CALLVANE_SEED");
  const long target = env_number("CALLVANE_KILLS", 200);
  std::mt19937 random(seed_);
  std::uniform_int_distribution<int> delay_ms(20, 300);
  std::uniform_int_distribution<int> coin(0, 99);
  auto started = Clock::now();

  pty_sim sim;
  const std::string device_lock =
      setup_.dir().file("lock") + "/LCK.." + sim.device().substr(sim.device().rfind('/') + 1);
  const std::string config = setup_.write_sim_config(sim.device());
  // Runs come from the sessions' requests only, so that the daemon falls
  // quiet when the clients stop.
  auto daemon = std::make_unique<daemon_process>(config, 3600);
  const std::set<std::string> daemon_sockets = sockets_of(daemon->pid());

  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < CLIENTS; i++) clients.emplace_back([&, i] { client(i, stop); });

  long session_kills = 0, run_kills = 0, stale_device_locks = 0;
  // For each message, how many killed runs may have delivered it.
  std::map<std::string, int> in_killed_runs;
  // Bounded, so that a daemon that stops forking ends the test.
  const auto give_up = Clock::now() + std::chrono::seconds(30 + target);
  while (session_kills + run_kills < target && Clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
    std::vector<pid_t> sessions, runs;
    for (pid_t child : children_of(daemon->pid()))
      (is_session(child, daemon_sockets) ? sessions : runs).push_back(child);
    bool take_run = !runs.empty() && (sessions.empty() || coin(random) < 40);
    if (!take_run && sessions.empty()) continue;
    pid_t victim =
        take_run ? runs[0]
                 : sessions[std::uniform_int_distribution<size_t>(0, sessions.size() - 1)(random)];
    std::set<std::string> pending;
    if (take_run) pending = pending_messages(setup_.spool());
    if (kill(victim, SIGKILL) != 0) continue;
    if (!take_run) {
      session_kills++;
      continue;
    }
    run_kills++;
    for (const std::string& m : pending) in_killed_runs[m]++;
    if (lock_pid(device_lock) == victim) stale_device_locks++;
  }
  stop = true;
  for (auto& t : clients) t.join();
  ASSERT_EQ(target, session_kills + run_kills) << "children to kill kept coming";
  // The last session's run finishes; then nothing starts another.
  ASSERT_TRUE(wait_for_children(daemon->pid(), 0, std::chrono::seconds(60))) << daemon->log();
  EXPECT_NE(std::string::npos, daemon->log().find("exited on signal 9 (Killed)"))
      << "the daemon saw its children killed";
  EXPECT_EQ(0, daemon->stop()) << "the daemon survived every kill";

  // Whatever is spooled now is whole.
  auto spooled = snapshot(setup_.spool());
  for (const auto& [name, text] : spooled) {
    SCOPED_TRACE(name);
    EXPECT_NE('B', name[0]) << "no page set aside";
    if (name[0] != 'P') continue;
    std::unique_ptr<callvane::page> p = callvane::read_page(setup_.spool() + "/" + name);
    ASSERT_TRUE(p) << text;
    ASSERT_EQ(1u, p->rcpts.size()) << text;
    EXPECT_EQ(PAGER, p->rcpts.front().pager);
    EXPECT_TRUE(p->message && p->message->rfind("kill", 0) == 0) << text;
    EXPECT_TRUE(text.ends_with("\n")) << text;
  }
  EXPECT_TRUE(lock_free(setup_.spool() + "/lock")) << "no queue lock left held";
  const long pending_before = static_cast<long>(setup_.spool_files("P").size());

  // Run the queue to the end, as an administrator would.
  const size_t dials_before = sim.events("dial").size();
  int final_runs = 0;
  for (; final_runs < FINAL_RUNS && !setup_.spool_files("P").empty(); final_runs++) {
    run_options opts;
    opts.limit = std::chrono::seconds(60);
    run_result r = run_callvane({"-q", "0", "-C", config}, opts);
    ASSERT_EQ(0, r.status) << r.err;
  }
  if (pending_before > 0) {
    EXPECT_LT(dials_before, sim.events("dial").size()) << "stale device locks did not stop a dial";
  }
  EXPECT_TRUE(setup_.spool_files("P").empty()) << "every page reachable was delivered";
  EXPECT_TRUE(setup_.spool_files("B").empty());
  EXPECT_TRUE(setup_.spool_files(callvane::TEMP_PREFIX).empty()) << "stale temporaries removed";
  EXPECT_FALSE(file_exists(device_lock)) << "the last run unlocked the device";
  EXPECT_TRUE(lock_free(setup_.spool() + "/lock"));

  std::map<std::string, int> delivered;
  for (const auto& block : sim.events("block"))
    if (block.size() > 3 && block[2] == PAGER_ID) delivered[block[3]]++;
  long lost = 0, duplicates = 0, unacknowledged = 0;
  for (const auto& [text, times] : acknowledged_) {
    EXPECT_EQ(1, times) << text << " acknowledged once";
    if (!delivered.count(text)) {
      lost++;
      ADD_FAILURE() << "acknowledged page " << text << " lost";
    }
  }
  for (const auto& [text, times] : delivered) {
    if (!acknowledged_.count(text)) unacknowledged++;
    if (times <= 1) continue;
    duplicates += times - 1;
    EXPECT_LE(times - 1, in_killed_runs[text]) << text << " delivered again without a killed run";
  }
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::cout << "kills: " << session_kills << " sessions, " << run_kills << " queue runs ("
            << stale_device_locks << " holding the device lock); pages acknowledged "
            << acknowledged_.size() << ", lost " << lost << ", delivered but unacknowledged "
            << unacknowledged << ", sessions cut before their reply " << unanswered_
            << "; duplicates " << duplicates << " ("
            << (run_kills ? static_cast<double>(duplicates) / static_cast<double>(run_kills) : 0)
            << " per killed run); " << pending_before << " pages left for " << final_runs
            << " final runs; " << seconds << " s\n";
  if (run_kills >= 50) {
    EXPECT_GT(stale_device_locks, 0) << "some runs were killed mid-call";
  }
}

}  // namespace
