// A page from an SNPP client through the daemon to the simulated GSM modem.
#include <gtest/gtest.h>

#include <memory>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/pty_sim.h"
#include "support/support.h"

namespace {

using namespace testsupport;

const char PIN[] = "97531";

using DaemonSms = sandboxed_daemon;

// ann gets the page in two parts; the network knows no number bad.
TEST_F(DaemonSms, PageReachesThePhoneInPartsAndABadNumberIsRefusedForGood) {
  pty_sim sim({"--gsm", "--sim-pin", PIN, "--refuse", "+4599999999"});
  daemon_process d(setup_.write_config("modem=gsm device=" + sim.device() + " pin=" + PIN +
                                       "\nservice=sms device=gsm protocol=sms baudrate=115200"
                                       " parity=none maxpages=2\n"
                                       "pager=ann pagerid=+4512345678 service=sms\n"
                                       "pager=bad pagerid=+4599999999 service=sms\n"),
                   3600);
  ASSERT_TRUE(d.first_run_done()) << d.log();
  std::string message;
  while (message.size() < 200) message += "disk full on db1 ";
  run_options opts;
  opts.limit = std::chrono::seconds(30);
  auto r = run_callvane({"-s", "127.0.0.1", "-f", "ops", "-p", "ann", "-p", "bad", message}, opts);
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_TRUE(d.wait_for_log("processing the page queue", 2, 60s)) << d.log();
  ASSERT_TRUE(wait_for_children(d.pid(), 0, 60s)) << d.log();

  auto sms = sim.events("sms");
  ASSERT_EQ(2u, sms.size()) << sim.record();
  EXPECT_EQ("+4512345678", sms[0][2]);
  EXPECT_EQ(0u, sms[0][3].find("ops:1: disk full on db1 ")) << sms[0][3];
  EXPECT_EQ(0u, sms[1][3].find("ops:e: ")) << sms[1][3];
  auto names = setup_.spool_files("P");
  ASSERT_EQ(1u, names.size()) << d.log();
  std::string left = read_file(setup_.spool() + "/" + names[0]);
  EXPECT_TRUE(contains(left, "Goodtries: 1\nFlags: 1 ( F_SENT )\nPager: ann\n")) << left;
  EXPECT_TRUE(contains(left, "Goodtries: 6\nFlags: 256 ( F_REJECT )\nPager: bad\n")) << left;
  EXPECT_TRUE(contains(d.log(), "+CMS ERROR: 1")) << d.log();
  EXPECT_FALSE(contains(d.log(), PIN)) << d.log();
}

}  // namespace
