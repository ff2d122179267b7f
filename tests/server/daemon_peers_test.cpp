// The daemon with Net::SNPP's client (ALERt) and clients gone without QUIT.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/support.h"

namespace {

using namespace testsupport;

using DaemonPeersTest = sandboxed_daemon;

const char NET_SNPP_CLIENT[] =
    "use Net::SNPP;"
    "my $s = Net::SNPP->new('127.0.0.1', Port => 444, Timeout => 10) or die qq(no connection\\n);"
    "print $s->send(Pager => 'alice', Message => 'hello', Alert => 1) ? qq(sent\\n)"
    "  : qq(refused: ) . $s->message;"
    "$s->quit;";

TEST_F(DaemonPeersTest, NetSnppClientWithAnAlertOverrideHasItsPageQueued) {
  if (access("/usr/share/perl5/Net/SNPP.pm", R_OK) != 0)
    GTEST_SKIP() << "Net::SNPP is not installed (libnet-snpp-perl)";
  daemon_process d(setup_.write_sim_config("/dev/null"), -1);
  auto r = run({"/usr/bin/perl", "-e", NET_SNPP_CLIENT});
  EXPECT_EQ(r.out, "sent\n") << r.err;
  EXPECT_TRUE(d.wait_for_log("alert override 1 accepted, not kept with the page")) << d.log();
  EXPECT_TRUE(d.wait_for_log("page submitted")) << d.log();
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonPeersTest, ClientGoneWithoutQuitLeavesNoComplaint) {
  daemon_process d(setup_.write_config(), -1);
  for (int i = 0; i < 3; i++) {
    snpp_connection c;
    ASSERT_TRUE(c.line());
  }
  ASSERT_TRUE(wait_for_children(d.pid(), 0));
  EXPECT_EQ(0u, d.count_in_log("cannot send reply")) << d.log();
  EXPECT_EQ(0, d.stop());
}

}  // namespace
