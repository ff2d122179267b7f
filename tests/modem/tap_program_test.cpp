// The program from outside: interactive delivery through the simulated
// modem and paging terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "support/pty_sim.h"
#include "support/support.h"

using testsupport::contains;
using testsupport::pty_sim;
using testsupport::run_callvane;
using testsupport::temp_dir;

namespace {

struct setup {
  temp_dir dir;
  std::string conf;

  explicit setup(const pty_sim& sim) {
    for (const char* sub : {"locks", "spool"}) {
      std::string p = dir.file(sub);
      mkdir(p.c_str(), 0777);
      chmod(p.c_str(), 0777);  // reachable for the user the program drops to
    }
    conf = dir.write("callvane.conf",
                     "lockdir=" + dir.file("locks") + "\nqueuedir=" + dir.file("spool") +
                         "\nmodem=sim device=" + sim.device() +
                         "\nservice=default device=sim phone=5551234 password=secret"
                         " baudrate=9600\npager=alice pagerid=1234567\n");
  }
  // Lock files left behind in the lock directory.
  int locks_left() const { return testsupport::count_entries(dir.file("locks")); }
};

}  // namespace

TEST(TapProgram, InteractiveDeliveryReachesTheTerminal) {
  pty_sim sim;
  setup s(sim);
  auto r = run_callvane({"-i", "-C", s.conf, "alice", "hello", "there"});
  EXPECT_TRUE(contains(r.out, "connected to remote, service=default\n"));
  EXPECT_TRUE(contains(r.out, "page delivered, id="));
  EXPECT_EQ(s.locks_left(), 0);
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 1u) << sim.record();
  EXPECT_EQ(blocks[0][2], "1234567");
  EXPECT_NE(blocks[0][3].find("hello there"), std::string::npos);
  EXPECT_EQ(sim.events("logout").size(), 1u);
}

TEST(TapProgram, BusyNumberReleasesTheDevice) {
  pty_sim sim({"--dial-result", "BUSY"});
  setup s(sim);
  auto r = run_callvane({"-i", "-C", s.conf, "alice", "hello"});
  EXPECT_TRUE(contains(r.out, "remote is busy, service=default\n"));
  EXPECT_FALSE(contains(r.out, "page delivered"));
  EXPECT_EQ(s.locks_left(), 0);
  EXPECT_TRUE(sim.events("block").empty());
}
