// Paging terminals on the network: pages over TCP and verified TLS to the
// simulated terminal, from callvane -i and through the daemon's queue.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <thread>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/pty_sim.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/test_certs.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char QUEUE_RUN[] = "processing the page queue";
const std::chrono::seconds SETTLE(30);

run_options limited(int seconds) {
  run_options opts;
  opts.limit = std::chrono::seconds(seconds);
  return opts;
}

// A terminal on 127.0.0.1 (or `host`), plain or with a certificate.
std::unique_ptr<pty_sim> terminal(std::vector<std::string> args, const std::string& cert = "",
                                  const std::string& key = "",
                                  const std::string& host = "127.0.0.1") {
  std::vector<std::string> all{"--listen", host + ":0"};
  if (!cert.empty()) all.insert(all.end(), {"--tls-cert", cert, "--tls-key", key});
  all.insert(all.end(), args.begin(), args.end());
  return std::make_unique<pty_sim>(all);
}

class NetworkTerminal : public testsupport::sandboxed_test {
 protected:
  // The carrier as the only device of the default service.
  std::string config(const std::string& device, const std::string& modem_extra = "") {
    return setup_.write_config("modem=carrier device=" + device + " " + modem_extra +
                               "\nservice=default device=carrier password=pw\n"
                               "pager=alice pagerid=1234567\npager=bob pagerid=7654321\n"
                               "pager=carol pagerid=555\n");
  }

  run_result page(const std::string& conf, const std::vector<std::string>& pagers,
                  const std::string& text) {
    std::vector<std::string> args{"-i", "-d", "-C", conf, "-f", "ops"};
    for (const auto& p : pagers) args.insert(args.end(), {"-p", p});
    args.push_back(text);
    return run_callvane(args, limited(120));
  }

  daemon_setup setup_;
};

TEST_F(NetworkTerminal, InteractivePageGoesOverTcpWithoutAnyModemDialogue) {
  auto sim = terminal({"--password", "pw"});
  auto r = page(config("tcp:" + sim->device()), {"alice"}, "disk full on db1");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  auto blocks = sim->events("block");
  ASSERT_EQ(1u, blocks.size()) << sim->record() << r.out;
  EXPECT_EQ("1234567", blocks[0][2]);
  EXPECT_EQ("ops: disk full on db1", blocks[0][3]);
  ASSERT_EQ(1u, sim->events("connect").size()) << sim->record();
  EXPECT_EQ("pw", sim->events("login").at(0).at(2));
  EXPECT_EQ(1u, sim->events("logout").size()) << sim->record();
  EXPECT_TRUE(contains(r.out, "connected to remote, service=default"));
  for (const char* modem_only : {"initializing modem", "dialing service", "locking", "hanging up"})
    EXPECT_FALSE(contains(r.out, modem_only)) << modem_only << "\n" << r.out;
  EXPECT_EQ(0, count_entries(setup_.dir().file("lock"))) << "no device lock for a network line";
}

TEST_F(NetworkTerminal, EveryJobOfTheServiceUsesOneConnection) {
  auto sim = terminal({});
  auto r = page(config("tcp:" + sim->device()), {"alice", "bob", "carol"}, "db1 down");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(3u, sim->events("block").size()) << sim->record();
  EXPECT_EQ(1u, sim->events("connect").size()) << sim->record();
  EXPECT_EQ(1u, sim->events("logout").size()) << sim->record();
}

TEST_F(NetworkTerminal, TerminalThatClosesDuringABlockIsAHangUpAndTheJobIsTriedAgain) {
  auto sim = terminal({"--block-reply", "close", "--block-reply", "ack"});
  auto r = page(config("tcp:" + sim->device()), {"alice"}, "retry me");
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "unexpected hangup by remote"));
  EXPECT_TRUE(contains(r.out, "page status unknown"));
  EXPECT_EQ(2u, sim->events("connect").size()) << sim->record();
  ASSERT_EQ(1u, sim->events("block").size()) << sim->record();
  EXPECT_EQ("2", sim->events("block")[0][1]) << "accepted on the second connection";
}

TEST_F(NetworkTerminal, TerminalThatClosesDuringTheLoginIsNoCarrier) {
  auto sim = terminal({"--login-reply", "close"});
  auto r = page(config("tcp:" + sim->device()), {"alice"}, "never sent");
  EXPECT_NE(0, r.status) << r.out;
  EXPECT_TRUE(contains(r.out, "unexpected hangup by default"));
  EXPECT_EQ(0u, sim->events("block").size()) << sim->record();
}

TEST_F(NetworkTerminal, VerifiedTlsOverIpv4AndIpv6) {
  test_certs certs;
  for (const std::string host : {"127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    auto sim = terminal({}, certs.cert(), certs.key(), host == "::1" ? "[::1]" : host);
    auto r = page(config("tls:" + sim->device(), "cafile=" + certs.ca()), {"alice"}, "secure page");
    EXPECT_EQ(0, r.status) << r.out << r.err;
    auto blocks = sim->events("block");
    ASSERT_EQ(1u, blocks.size()) << sim->record() << r.out;
    EXPECT_EQ("ops: secure page", blocks[0][3]);
    EXPECT_TRUE(contains(r.out, "TLS with " + sim->device() + ": TLSv1."));
  }
}

// A daemon on a long interval whose first run is over, so that only a
// session's request starts the next one.
class NetworkTerminalQueue : public NetworkTerminal {
 protected:
  void start(const std::string& conf) {
    daemon_ = std::make_unique<daemon_process>(conf, 3600);
    daemon_->signal(SIGHUP);
    ASSERT_TRUE(daemon_->wait_for_log(QUEUE_RUN));
    ASSERT_TRUE(wait_for_children(daemon_->pid(), 0));
  }
  void submit(const std::string& text) {
    auto r = run_callvane({"-s", "127.0.0.1", "-f", "carol", "-p", "alice", text}, limited(30));
    ASSERT_EQ(0, r.status) << r.err;
  }
  std::unique_ptr<daemon_process> daemon_;
};

TEST_F(NetworkTerminalQueue, QueuedPagesAreDeliveredOverTcpAndOverVerifiedTls) {
  test_certs certs;
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "tls" : "tcp");
    auto sim = tls ? terminal({}, certs.cert(), certs.key()) : terminal({});
    start(config((tls ? "tls:" : "tcp:") + sim->device(), tls ? "cafile=" + certs.ca() : ""));
    submit("queued for the carrier");
    ASSERT_TRUE(wait_until([&] { return !sim->events("block").empty(); }, SETTLE))
        << sim->record() << daemon_->log();
    EXPECT_EQ("carol: queued for the carrier", sim->events("block")[0][3]);
    EXPECT_TRUE(wait_until([&] { return setup_.spool_files("P").empty(); }, SETTLE))
        << daemon_->log();
    EXPECT_EQ(0, daemon_->stop());
  }
}

struct unreachable_case {
  const char* name;
  const char* cert;  // "rogue", "other", or "" for nothing listening
  const char* modem_extra;
  const char* log;  // after "TLS with HOST:PORT failed: " or as a whole
};

class NetworkTerminalRefused : public NetworkTerminalQueue,
                               public ::testing::WithParamInterface<unreachable_case> {};

TEST_P(NetworkTerminalRefused, PageStaysQueuedAsACallWithoutCarrier) {
  const unreachable_case& c = GetParam();
  test_certs certs;
  std::unique_ptr<pty_sim> sim;
  std::string device, expected;
  if (std::string(c.cert).empty()) {
    // A port nobody listens on: a terminal that came and went.
    sim = terminal({});
    device = "tcp:" + sim->device();
    sim->stop();
    expected = "cannot connect to " + device.substr(4) + ": Connection refused";
  } else {
    bool rogue = std::string(c.cert) == "rogue";
    sim = terminal({}, rogue ? certs.rogue_cert() : certs.other_cert(),
                   rogue ? certs.rogue_key() : certs.other_key());
    device = "tls:" + sim->device();
    expected = "TLS with " + sim->device() + " failed: " + c.log;
  }
  start(config(device, "cafile=" + certs.ca() + " " + c.modem_extra));
  submit("must wait");
  ASSERT_TRUE(daemon_->wait_for_log(expected)) << daemon_->log();
  ASSERT_TRUE(daemon_->wait_for_log(QUEUE_RUN, 2)) << daemon_->log();
  ASSERT_TRUE(wait_for_children(daemon_->pid(), 0));
  auto names = setup_.spool_files("P");
  ASSERT_EQ(1u, names.size()) << daemon_->log();
  std::string file = read_file(setup_.spool() + "/" + names[0]);
  EXPECT_TRUE(contains(file, "\nTries: 1\nGoodtries: 1\n"));
  EXPECT_TRUE(contains(file, "\nFlags: 8 ( F_NOCARRIER )\n"));
  EXPECT_EQ(0u, sim->events("login").size()) << sim->record();
}

INSTANTIATE_TEST_SUITE_P(
    Terminals, NetworkTerminalRefused,
    ::testing::Values(unreachable_case{"SelfSigned", "rogue", "", "self-signed certificate"},
                      unreachable_case{"OtherName", "other", "", "IP address mismatch"},
                      unreachable_case{"OtherServerName", "other", "servername=localhost",
                                       "hostname mismatch"},
                      unreachable_case{"NothingListening", "", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
