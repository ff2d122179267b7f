// The daemon with a queue run in progress: identities, a pending run, CPU.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <thread>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/pty_sim.h"
#include "support/support.h"

namespace {

using namespace testsupport;

const char QUEUE_RUN[] = "processing the page queue";

class DaemonQueueTest : public sandboxed_daemon {
 protected:
  void SetUp() override {
    sandboxed_daemon::SetUp();
    if (IsSkipped()) return;
    // The terminal never answers the dial: the queue child waits for it.
    sim_ = std::make_unique<pty_sim>(std::vector<std::string>{"--dial-result", "none"});
    daemon_ = std::make_unique<daemon_process>(setup_.write_sim_config(sim_->device()), 3600);
    ASSERT_TRUE(daemon_->first_run_done());
  }

  // Queues a page over SNPP; the session asks for a run at once.
  void submit() {
    snpp_connection c;
    ASSERT_TRUE(c.send("PAGE alice\r\nMESS hello there\r\nSEND\r\nQUIT\r\n"));
    ASSERT_TRUE(c.wait_closed());
    ASSERT_NE(std::string::npos, c.received().find("\r\n250 Message ")) << c.received();
  }

  // A queue child is dialling and will wait a long time for the answer.
  pid_t long_queue_run() {
    submit();
    EXPECT_TRUE(daemon_->wait_for_log("waiting for connection")) << daemon_->log();
    EXPECT_TRUE(wait_for_children(daemon_->pid(), 1)) << "only the queue child is left";
    auto children = children_of(daemon_->pid());
    return children.empty() ? -1 : children[0];
  }

  std::unique_ptr<pty_sim> sim_;
  std::unique_ptr<daemon_process> daemon_;
};

TEST_F(DaemonQueueTest, DaemonSessionAndQueueChildAllRunAsUucp) {
  pid_t queue_child = long_queue_run();
  ASSERT_GT(queue_child, 0);
  snpp_connection held;
  ASSERT_TRUE(held.line());
  ASSERT_TRUE(wait_for_children(daemon_->pid(), 2));
  std::vector<pid_t> all = children_of(daemon_->pid());
  all.push_back(daemon_->pid());
  for (pid_t pid : all) {
    SCOPED_TRACE(pid);
    EXPECT_EQ("10 10 10 10", proc_status(pid, "Uid"));
    EXPECT_EQ("10 10 10 10", proc_status(pid, "Gid"));
    EXPECT_EQ("10", proc_status(pid, "Groups"));
  }
}

TEST_F(DaemonQueueTest, APendingRunWaitsWithoutSpinningAndStartsWhenTheChildIsGone) {
  pid_t queue_child = long_queue_run();
  ASSERT_GT(queue_child, 0);
  ASSERT_EQ(2u, daemon_->count_in_log(QUEUE_RUN));
  daemon_->signal(SIGUSR1);

  long long before = cpu_ticks(daemon_->pid());
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  long long after = cpu_ticks(daemon_->pid());
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::cout << "daemon CPU while a run was pending: " << cpu << " s in " << wall << " s\n";
  EXPECT_LT(cpu, 0.1 * wall);
  EXPECT_EQ(2u, daemon_->count_in_log(QUEUE_RUN)) << "no second run beside the first";

  // The request was kept: the next run starts once this one is gone.
  kill(queue_child, SIGKILL);
  EXPECT_TRUE(daemon_->wait_for_log(QUEUE_RUN, 3)) << daemon_->log();
  EXPECT_TRUE(daemon_->wait_for_log("Child pid " + std::to_string(queue_child) +
                                    " exited on signal 9 (Killed)\n"));
}

}  // namespace
