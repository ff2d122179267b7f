// Pages from real clients through the daemon, to the queue and the terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <memory>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/pty_sim.h"
#include "support/support.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char QUEUE_RUN[] = "processing the page queue";

// A Perl client built on Net::SNPP; prints "sent" when SEND was accepted.
run_result net_snpp(const std::string& body) {
  std::string script =
      "use strict; use Net::SNPP;\n"
      "my $s = Net::SNPP->new('127.0.0.1', Port => 444, Timeout => 10) or die \"connect\\n\";\n" +
      body +
      "\nprint \"sent\\n\";\n"
      "$s->quit;\n";
  run_options opts;
  opts.limit = std::chrono::seconds(30);
  return run({"/usr/bin/perl", "-e", script}, opts);
}

class DaemonDeliveryTest : public sandboxed_daemon {
 protected:
  // A daemon on a long interval whose first run is already over, so that
  // only a session's request can start the next one.
  void start_delivering() {
    sim_ = std::make_unique<pty_sim>();
    daemon_ = std::make_unique<daemon_process>(setup_.write_sim_config(sim_->device()), 3600);
    ASSERT_TRUE(daemon_->first_run_done());
  }

  // Waits for the one page to reach alice and to leave the queue.
  void expect_delivered(const std::string& text) {
    wait_until([&] { return !sim_->events("block").empty(); }, 30s, 50ms);
    auto blocks = sim_->events("block");
    ASSERT_EQ(1u, blocks.size()) << sim_->record() << daemon_->log();
    EXPECT_EQ("1234567", blocks[0][2]);
    EXPECT_EQ(text, blocks[0][3]);
    EXPECT_TRUE(wait_until([&] { return setup_.spool_files("P").empty(); }, 30s, 50ms));
  }

  // The one queue file's text.
  std::string the_queue_file() {
    auto names = setup_.spool_files("P");
    EXPECT_EQ(1u, names.size());
    EXPECT_EQ(names.size(), setup_.spool_files().size()) << "nothing else in the spool";
    return names.empty() ? "" : read_file(setup_.spool() + "/" + names[0]);
  }

  std::unique_ptr<pty_sim> sim_;
  std::unique_ptr<daemon_process> daemon_;
};

TEST_F(DaemonDeliveryTest, ClientPageIsDeliveredAtOnceAndLeavesTheQueue) {
  start_delivering();
  run_options opts;
  opts.limit = std::chrono::seconds(30);
  auto r =
      run_callvane({"-s", "127.0.0.1", "-f", "carol", "-p", "alice", "disk full on db1"}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_NO_FATAL_FAILURE(expect_delivered("carol: disk full on db1"));
  EXPECT_EQ(2u, daemon_->count_in_log(QUEUE_RUN)) << "started by the session's request";
}

TEST_F(DaemonDeliveryTest, NetSnppLevelOnePageIsQueued) {
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\n"), -1);
  auto r = net_snpp("$s->send(Pager => 'alice', Message => 'level one page') or die \"send\\n\";");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("sent\n", r.out);
  std::string file = the_queue_file();
  EXPECT_EQ(0u, file.find("Version: 3\nTries: 0\nPager: alice\n-\n")) << file;
  EXPECT_NE(std::string::npos, file.find("\nMessage: level one page\n")) << file;
  EXPECT_EQ(std::string::npos, file.find("\nFrom: ")) << file;
}

TEST_F(DaemonDeliveryTest, NetSnppLevelTwoPageIsQueued) {
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\n"), -1);
  auto r = net_snpp(
      "$s->caller_id('carol') or die \"call\\n\";\n"
      "$s->service_level(5) or die \"leve\\n\";\n"
      "$s->pager_id('alice') or die \"page\\n\";\n"
      "$s->data(\"first line\\n\", \"..dotted second line\\n\") or die \"data\\n\";\n"
      "$s->send() or die \"send\\n\";");
  ASSERT_EQ(0, r.status) << r.err;
  std::string file = the_queue_file();
  EXPECT_EQ(0u, file.find("Version: 3\nTries: 0\nServicelevel: 5\nPager: alice\n-\nFrom: carol\n"))
      << file;
  // The module stuffs the leading dot; the session keeps it as it came.
  EXPECT_NE(std::string::npos, file.find("\nMessage: first line ...dotted second line\n")) << file;
}

TEST_F(DaemonDeliveryTest, NetSnppPageIsDelivered) {
  start_delivering();
  auto r = net_snpp("$s->send(Pager => 'alice', Message => 'from perl') or die \"send\\n\";");
  ASSERT_EQ(0, r.status) << r.err;
  expect_delivered("from perl");
}

}  // namespace
