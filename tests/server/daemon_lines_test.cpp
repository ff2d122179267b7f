// Queue runs on several lines at once: each service's own call, new pages
// started during a run, a delivery process lost mid-call.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/pty_sim.h"
#include "support/support.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

class DaemonLinesTest : public sandboxed_daemon {
 protected:
  // Services alpha and beta, each on its own simulated line.
  void start_sims(const std::vector<std::string>& alpha_faults,
                  const std::vector<std::string>& beta_faults) {
    alpha_ = std::make_unique<pty_sim>(alpha_faults);
    beta_ = std::make_unique<pty_sim>(beta_faults);
  }
  std::string config(int lines) const {
    return setup_.write_config("lines=" + std::to_string(lines) + "\nmodem=m1 device=" +
                               alpha_->device() + "\nmodem=m2 device=" + beta_->device() +
                               "\nservice=alpha device=m1 phone=111 password=a"
                               "\nservice=beta device=m2 phone=222 password=b"
                               "\npager=a1 pagerid=1001 service=alpha"
                               "\npager=b1 pagerid=2001 service=beta\n");
  }
  // A queue file as a session writes it, for one recipient.
  void queue(const std::string& pager, const std::string& message, long created) const {
    std::string name = "spool/P" + std::to_string(created) + ".000";
    std::string path = setup_.dir().write(
        name, "Version: 3\nTries: 0\nPager: " + pager +
                  "\n-\nBytes: " + std::to_string(message.size() + 11) + "\nMessage: " + message +
                  "\nCreated: " + std::to_string(created) + " x\nUniqueID: AAAA" +
                  std::to_string(created % 1000) + "\n");
    ASSERT_EQ(0, chown(path.c_str(), 10, 10));
  }
  std::string queue_file(const std::string& name) const {
    return read_file(setup_.spool() + "/" + name);
  }
  // The texts a terminal acknowledged, in order.
  static std::vector<std::string> acknowledged(const pty_sim& sim) {
    std::vector<std::string> texts;
    for (const auto& e : sim.events("block")) texts.push_back(e.at(3));
    return texts;
  }

  std::unique_ptr<pty_sim> alpha_, beta_;
  std::unique_ptr<daemon_process> daemon_;
};

struct lines_case {
  int lines;
  bool one_after_another;
};

class TwoServicesTest : public DaemonLinesTest, public ::testing::WithParamInterface<lines_case> {};

TEST_P(TwoServicesTest, EachServiceGetsItsPageInOneRun) {
  const lines_case& c = GetParam();
  start_sims({}, {"--dial-result", "BUSY"});
  queue("a1", "to alpha", 912345678);
  queue("b1", "to beta", 912345679);
  daemon_ = std::make_unique<daemon_process>(config(c.lines), 3600);
  ASSERT_TRUE(daemon_->first_run_done()) << daemon_->log();

  EXPECT_EQ(std::vector<std::string>{"to alpha"}, acknowledged(*alpha_));
  ASSERT_EQ(std::vector<std::string>{"P912345679.000"}, setup_.spool_files("P"));
  std::string busy = queue_file("P912345679.000");
  EXPECT_TRUE(contains(busy, "Tries: 1\nFlags: 4 ( F_BUSY )\nPager: b1\n"));
  EXPECT_FALSE(contains(busy, "Goodtries"));

  std::string log = daemon_->log();
  size_t alpha_done = log.find("unlocking " + alpha_->device());
  size_t beta_start = log.find("dialing service beta");
  ASSERT_NE(std::string::npos, alpha_done) << log;
  ASSERT_NE(std::string::npos, beta_start) << log;
  if (c.one_after_another) {
    EXPECT_LT(alpha_done, beta_start) << log;
    EXPECT_FALSE(contains(log, "delivery process"));
  } else {
    EXPECT_EQ(2u, daemon_->count_in_log("delivery process ")) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, TwoServicesTest,
                         ::testing::Values(lines_case{1, true}, lines_case{2, false}));

// Alpha's call hangs on its second page; meanwhile a page for beta comes
// in and goes out on beta's idle line. Alpha's delivery process is then
// killed: the page it held is tried again, the one it delivered is not.
TEST_F(DaemonLinesTest, NewPageTakesAnIdleLineAndAKilledLineLosesNothing) {
  start_sims({"--block-reply", "silence", "--fault-block", "2", "--dial-result", "CONNECT",
              "--dial-result", "BUSY"},
             {});
  queue("a1", "first to alpha", 912345678);
  queue("a1", "second to alpha", 912345679);
  daemon_ = std::make_unique<daemon_process>(config(2), 3600);
  daemon_->signal(SIGUSR1);
  ASSERT_TRUE(wait_until([&] { return alpha_->events("recv").size() == 2; }, 20s, 20ms))
      << alpha_->record() << daemon_->log();

  snpp_connection c;
  ASSERT_TRUE(c.line()) << daemon_->log();
  ASSERT_TRUE(c.send("PAGE b1\r\nMESS to beta\r\nSEND\r\nQUIT\r\n"));
  ASSERT_TRUE(c.wait_closed());
  ASSERT_TRUE(contains(c.received(), "250 Message"));
  ASSERT_TRUE(wait_until([&] { return !acknowledged(*beta_).empty(); }, 20s, 20ms))
      << daemon_->log();
  EXPECT_TRUE(alpha_->events("hangup").empty()) << "alpha's call is still going";

  const std::string mark = "delivery process ";
  std::string log = daemon_->log();
  size_t at = log.find(mark);
  ASSERT_NE(std::string::npos, at);
  ASSERT_EQ(" for alpha", log.substr(log.find(' ', at + mark.size()), 10)) << log;
  ASSERT_EQ(0, kill(std::stoi(log.substr(at + mark.size())), SIGKILL));

  // The run that follows calls alpha again, which is busy this time.
  ASSERT_TRUE(wait_until(
      [&] {
        auto names = setup_.spool_files("P");
        return names.size() == 1 && contains(queue_file(names[0]), "Tries: 2");
      },
      30s, 50ms))
      << daemon_->log();
  EXPECT_TRUE(contains(daemon_->log(), "ended mid-job: a1 is tried again"));
  EXPECT_TRUE(contains(queue_file("P912345679.000"),
                       "Tries: 2\nGoodtries: 1\nFlags: 4 ( F_BUSY )\nPager: a1\n"));
  EXPECT_EQ(std::vector<std::string>{"first to alpha"}, acknowledged(*alpha_));
  EXPECT_EQ(std::vector<std::string>{"to beta"}, acknowledged(*beta_));
}

}  // namespace
