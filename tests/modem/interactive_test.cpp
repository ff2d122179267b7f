// Interactive mode from outside: callvane -i delivers through the simulator.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/pty_sim.h"
#include "support/support.h"

using testsupport::contains;
using testsupport::pty_sim;
using testsupport::run_callvane;

namespace {

testsupport::run_options limited(int seconds, const std::string& input = "") {
  testsupport::run_options opts;
  opts.limit = std::chrono::seconds(seconds);
  opts.input = input;
  return opts;
}

class InteractiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program gives up root for uucp: its lock directory must be writable.
    chmod(dir_.path().c_str(), 0777);
    mkdir(dir_.file("lock").c_str(), 0777);
    chmod(dir_.file("lock").c_str(), 01777);
  }
  std::string config(const std::string& device, const std::string& extra = "") {
    return dir_.write("callvane.conf", "lockdir=" + dir_.file("lock") +
                                           "\n"
                                           "modem=sim device=" +
                                           device +
                                           "\n"
                                           "service=default device=sim phone=5550100 password=pw\n"
                                           "pager=alice pagerid=1234567\n"
                                           "pager=bob pagerid=7654321\n"
                                           "group=oncall\n"
                                           "  member=alice/Any0000-2400\n"
                                           "  member=bob/Any0000-0000\n" +
                                           extra);
  }
  testsupport::temp_dir dir_;
};

TEST_F(InteractiveTest, DeliversAPageAndLogsOnStandardOutput) {
  pty_sim sim;
  auto r = run_callvane({"-i", "-C", config(sim.device()), "-f", "carol@example.org", "-p", "alice",
                         "disk", "full\ton  db1"},
                        limited(60));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 1u) << sim.record() << r.out;
  EXPECT_EQ(blocks[0][2], "1234567");
  EXPECT_EQ(blocks[0][3], "carol: disk full on db1");
  // id: four letters, three digits, and the interactive mark.
  std::string line = "page delivered, id=";
  size_t at = r.out.find(line);
  ASSERT_NE(at, std::string::npos) << r.out;
  std::string id = r.out.substr(at + line.size(), 8);
  EXPECT_EQ(id[7], 'I') << r.out;
  EXPECT_TRUE(contains(r.out, ", from=carol@example.org, to=alice, parts=1\n"));
  EXPECT_TRUE(contains(r.out, "logging into default"));
  EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST_F(InteractiveTest, GroupsAreExpandedToEveryMember) {
  pty_sim sim;
  auto r = run_callvane({"-i", "-C", config(sim.device()), "-f", "", "oncall", "call", "me"},
                        limited(60));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 2u) << sim.record() << r.out;
  // Duty schedules are not consulted: bob's empty schedule does not matter.
  std::vector<std::string> ids{blocks[0][2], blocks[1][2]};
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"1234567", "7654321"}));
  EXPECT_EQ(blocks[0][3], "call me") << "no sender, no prefix";
  EXPECT_EQ(sim.events("dial").size(), 1u);
}

TEST_F(InteractiveTest, MessageFromStandardInputIsCleaned) {
  pty_sim sim;
  auto r = run_callvane({"-i", "-C", config(sim.device()), "-f", "", "-p", "alice"},
                        limited(60, "line one\n\tline\x07two\n.\n"));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 1u) << sim.record();
  // The bell becomes SUB G; the record shows control bytes as octal.
  EXPECT_EQ(blocks[0][3], "line one line\\032Gtwo");
}

TEST_F(InteractiveTest, UnknownPagerIsLoggedAndNothingIsDialled) {
  pty_sim sim;
  auto r = run_callvane({"-i", "-C", config(sim.device()), "-p", "nobody", "hello"}, limited(30));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "no such pager nobody\n"));
  EXPECT_TRUE(sim.events("dial").empty());
}

TEST_F(InteractiveTest, ConfigurationErrorsStopBeforeDelivery) {
  pty_sim sim;
  auto r = run_callvane({"-i", "-C", config(sim.device(), "bogus line\n"), "-p", "alice", "hi"},
                        limited(30));
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "Error reading configuration file\n"));
  EXPECT_TRUE(contains(r.out, "unexpected: <bogus line>"));
  EXPECT_TRUE(sim.events("dial").empty());
}

TEST_F(InteractiveTest, BusyServiceIsReportedAndExitsOne) {
  pty_sim sim({"--dial-result", "BUSY"});
  auto r = run_callvane({"-i", "-C", config(sim.device()), "-p", "alice", "hi"}, limited(30));
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "remote is busy, service=default"));
  EXPECT_TRUE(sim.events("block").empty());
}

}  // namespace
