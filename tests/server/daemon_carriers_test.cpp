// One page from an SNPP client through the daemon to a carrier of each kind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <memory>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/peer_wctp.h"
#include "support/pty_sim.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/test_certs.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char SECRET[] = "carrier-s3cret";
const int RELAY_PORT = 4444;

// alice is reached by TAP over TLS, bob by an SNPP relay, carol over WCTP.
class DaemonCarriers : public sandboxed_daemon {
 protected:
  void start(const std::string& relay_script, const std::string& extra = "",
             bool rogue_wctp = false) {
    tap_ = std::make_unique<pty_sim>(std::vector<std::string>{
        "--listen", "127.0.0.1:0", "--tls-cert", certs_.cert(), "--tls-key", certs_.key()});
    relay_ = std::make_unique<sandbox::peer>(sandbox::peer::scripted(relay_script, RELAY_PORT));
    wctp_ = std::make_unique<wctp_carrier>(rogue_wctp ? certs_.rogue_cert() : certs_.cert(),
                                           rogue_wctp ? certs_.rogue_key() : certs_.key());
    const std::string account = std::string(" login=ops password=") + SECRET;
    daemon_ = std::make_unique<daemon_process>(
        setup_.write_config(
            "modem=tap device=tls:" + tap_->device() + " cafile=" + certs_.ca() +
            "\nmodem=relay device=snpp:127.0.0.1:" + std::to_string(RELAY_PORT) + account +
            "\nmodem=wctp device=wctp:" + wctp_->url() + " cafile=" + certs_.ca() + account +
            "\nservice=default device=tap password=pw\nservice=relay device=relay\n"
            "service=wctp device=wctp maxtries=1\npager=alice pagerid=1234567\n"
            "pager=bob pagerid=2222222 service=relay\npager=carol pagerid=3333333 service=wctp\n" +
            extra),
        3600);
    ASSERT_TRUE(daemon_->first_run_done()) << daemon_->log();
    run_options opts;
    opts.limit = std::chrono::seconds(30);
    auto r = run_callvane(
        {"-s", "127.0.0.1", "-f", "ops", "-p", "alice", "-p", "bob", "-p", "carol", "disk full"},
        opts);
    ASSERT_EQ(0, r.status) << r.err;
    // The run the page asked for, and its end.
    ASSERT_NO_FATAL_FAILURE(run_ended(2));
  }

  // The queue run that makes `runs` in all is over.
  void run_ended(size_t runs) {
    ASSERT_TRUE(daemon_->wait_for_log("processing the page queue", runs, 60s)) << daemon_->log();
    ASSERT_TRUE(wait_for_children(daemon_->pid(), 0, 120s)) << daemon_->log();
  }

  // The queue holds `count` pages; the daemon's log never shows a
  // carrier's password.
  void expect_queue(size_t count) {
    EXPECT_EQ(count, setup_.spool_files("P").size()) << daemon_->log();
    EXPECT_FALSE(contains(daemon_->log(), SECRET));
  }

  std::string queue_file() {
    auto names = setup_.spool_files("P");
    return names.empty() ? "" : read_file(setup_.spool() + "/" + names[0]);
  }

  test_certs certs_;
  std::unique_ptr<pty_sim> tap_;
  std::unique_ptr<sandbox::peer> relay_;
  std::unique_ptr<wctp_carrier> wctp_;
  std::unique_ptr<daemon_process> daemon_;
};

TEST_F(DaemonCarriers, EachCarrierGetsItsRecipient) {
  ASSERT_NO_FATAL_FAILURE(start(""));
  expect_queue(0);
  auto blocks = tap_->events("block");
  ASSERT_EQ(1u, blocks.size()) << tap_->record();
  EXPECT_EQ("1234567", blocks[0][2]);
  EXPECT_EQ("ops: disk full", blocks[0][3]);
  std::string wire = relay_->finish();
  EXPECT_TRUE(contains(wire, "PAGEr 2222222\r\n")) << wire;
  EXPECT_TRUE(contains(wire, "SEND\r\nQUIT\r\n")) << wire;
  auto posts = wctp_->requests();
  ASSERT_EQ(1u, posts.size()) << wctp_->log();
  EXPECT_EQ("3333333", posts[0]["rcpt"]);
  EXPECT_EQ("ops: disk full", posts[0]["text"]);
  std::string log = daemon_->log();
  EXPECT_TRUE(contains(log, "connected to remote, service=relay"));
  EXPECT_TRUE(contains(log, "page delivered, id="));
}

TEST_F(DaemonCarriers, RefusedAndUnverifiedRecipientsAreReportedOnceTheirTriesAreUsedUp) {
  // The administrator's report goes to a mailer that keeps it.
  temp_dir mail;
  chmod(mail.path().c_str(), 0777);
  sandbox::file_override mailer("/usr/sbin/sendmail",
                                "#!/bin/sh\ncat > " + mail.file("report") + "\n", 0755);
  ASSERT_NO_FATAL_FAILURE(
      start("PAGE 550 Error, invalid pager ID\n", "administrator=admin@example.org\n", true));
  expect_queue(1);
  std::string left = queue_file();
  // alice delivered; bob refused for good (his 6 tries used up); carol's
  // carrier not verified, her one try used.
  EXPECT_TRUE(contains(left, "Goodtries: 1\nFlags: 1 ( F_SENT )\nPager: alice\n"));
  EXPECT_TRUE(contains(left, "Goodtries: 6\nFlags: 256 ( F_REJECT )\nPager: bob\n"));
  EXPECT_TRUE(contains(left, "Goodtries: 1\nFlags: 8 ( F_NOCARRIER )\nPager: carol\n"));
  EXPECT_TRUE(contains(daemon_->log(), "self-signed certificate"));

  // The next run gives up on both, reports them and sets the page aside.
  daemon_->signal(SIGUSR1);
  ASSERT_NO_FATAL_FAILURE(run_ended(3));
  expect_queue(0);
  EXPECT_EQ(1u, setup_.spool_files("B").size()) << daemon_->log();
  EXPECT_TRUE(wait_until([&] { return file_exists(mail.file("report")); }, 10s));
  std::string report = read_file(mail.file("report"));
  EXPECT_TRUE(contains(report, "Subject: A page has failed."));
  EXPECT_TRUE(contains(report, "bob"));
  EXPECT_TRUE(contains(report, "carol"));
  EXPECT_FALSE(contains(report, SECRET));
}

}  // namespace
