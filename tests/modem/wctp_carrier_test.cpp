// WCTP carriers end to end: queued pages through callvane -q 0 to the simulated carrier.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "queue/spool_fixture.h"
#include "support/daemon_fixture.h"
#include "support/peer_wctp.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/test_certs.h"

namespace {

using namespace testsupport;
using spooltest::page_file;

const char PASSWORD[] = "s3cret-code";
const char PAGE[] = "P912345678.000";

class WctpCarrier : public testsupport::sandboxed_test {
 protected:
  // The carrier as the service's device; alice is 1111111, bob 2222222.
  std::string config(const std::string& url, const std::string& modem_extra = "") {
    return spool_.config("wctp:" + url + " login=acct42 password=" + PASSWORD +
                         " cafile=" + certs_.ca() + " " + modem_extra);
  }

  // One page to `pagers`, then one queue run with -d; its log and the
  // page file as left (empty when removed).
  run_result run_queue(const std::string& conf, std::vector<spooltest::recipient> pagers) {
    spool_.put(PAGE, spooltest::queue_text(page_file{pagers, std::string("ops@example.org"),
                                                     std::nullopt, "disk & <full>"}));
    run_options opts;
    opts.limit = std::chrono::seconds(120);
    run_result r = run_callvane({"-d", "-q", "0", "-C", conf}, opts);
    left_ = file_exists(spool_.file(PAGE)) ? read_file(spool_.file(PAGE)) : "";
    EXPECT_FALSE(contains(r.out + r.err + left_, PASSWORD)) << "the security code leaked";
    return r;
  }

  test_certs certs_;
  spooltest::spool spool_;
  std::string left_;
};

TEST_F(WctpCarrier, EveryRecipientIsOnePostOverOneVerifiedConnection) {
  wctp_carrier sim(certs_.cert(), certs_.key());
  run_result r = run_queue(config(sim.url()), {{"alice"}, {"bob"}});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", left_) << "every recipient delivered: the page is gone";
  auto requests = sim.requests();
  ASSERT_EQ(2u, requests.size()) << sim.log() << r.err;
  EXPECT_EQ(1u, sim.connections()) << "the run keeps its connection\n" << sim.log();
  std::map<std::string, std::string> ids;
  for (auto& q : requests) {
    ids[q["rcpt"]] = q["msgid"];
    EXPECT_EQ("POST", q["method"]);
    EXPECT_EQ("/wctp", q["path"]);
    EXPECT_EQ("text/xml; charset=utf-8", q["content-type"]);
    EXPECT_EQ("wctp-dtd-v1r1", q["version"]);
    EXPECT_EQ("acct42", q["sender"]);
    EXPECT_EQ(PASSWORD, q["security"]);
    EXPECT_EQ("ops: disk & <full>", q["text"]);
  }
  EXPECT_EQ(
      (std::map<std::string, std::string>{{"1111111", "AAAA000-1"}, {"2222222", "AAAA000-2"}}),
      ids);
  EXPECT_TRUE(contains(r.err,
                       "page delivered, id=AAAA000-1, from=ops@example.org, to=alice, "
                       "code=200 : Message accepted"));
  EXPECT_TRUE(contains(r.err, "securityCode=\"********\""));
}

TEST_F(WctpCarrier, RefusedRecipientIsRejectedAndTheOtherDelivered) {
  wctp_carrier sim(certs_.cert(), certs_.key(), {"1111111=refuse"});
  run_result r = run_queue(config(sim.url()), {{"alice"}, {"bob"}});
  EXPECT_EQ(2u, sim.requests().size()) << sim.log();
  EXPECT_TRUE(contains(r.err,
                       "page failed, id=AAAA000-1, from=ops@example.org, to=alice, "
                       "code=403 : Invalid recipientID"));
  EXPECT_TRUE(contains(r.err, "page delivered, id=AAAA000-2"));
  // Refused for good: its tries (maxtries=3) are used up.
  EXPECT_TRUE(contains(left_, "\nGoodtries: 3\nFlags: 256 ( F_REJECT )\nPager: alice\n"));
  EXPECT_TRUE(contains(left_, "\nGoodtries: 1\nFlags: 1 ( F_SENT )\nPager: bob\n"));
}

TEST_F(WctpCarrier, ServerNameReplacesTheHostForTheCertificate) {
  wctp_carrier sim(certs_.other_cert(), certs_.other_key());
  run_result r = run_queue(config(sim.url(), "servername=pager.example.net"), {{"alice"}});
  EXPECT_EQ(1u, sim.requests().size()) << sim.log() << r.err;
  EXPECT_EQ("", left_) << r.err;
}

struct queued_case {
  const char* name;
  const char* answer;  // the carrier's script for alice; "down": none listens
  const char* log;     // what the run logs, "ADDR" for the carrier's address
  const char* flags;
  size_t requests;  // what reached the carrier
};

class WctpCarrierQueued : public WctpCarrier, public ::testing::WithParamInterface<queued_case> {};

TEST_P(WctpCarrierQueued, PageStaysQueuedWithTheTryCounted) {
  const queued_case& c = GetParam();
  wctp_carrier sim(certs_.cert(), certs_.key(), {std::string("1111111=") + c.answer});
  if (std::string(c.answer) == "down") sim.stop();
  run_result r = run_queue(config(sim.url()), {{"alice"}});
  std::string log = c.log;
  if (size_t at = log.find("ADDR"); at != std::string::npos) log.replace(at, 4, sim.address());
  EXPECT_TRUE(contains(r.err, log));
  EXPECT_TRUE(contains(
      left_, std::string("\nTries: 1\nGoodtries: 1\nFlags: ") + c.flags + "\nPager: alice\n"));
  if (std::string(c.answer) != "down") {
    EXPECT_EQ(c.requests, sim.requests().size()) << sim.log();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Failures, WctpCarrierQueued,
    ::testing::Values(
        queued_case{"CarrierDown", "down", "cannot connect to ADDR: ", "8 ( F_NOCARRIER )", 0},
        queued_case{"OversizedAnswer", "oversized", "answer from ADDR over 65536 bytes",
                    "8 ( F_NOCARRIER )", 1},
        queued_case{"NotXml", "garbage", "unusable answer from ADDR: not XML", "8 ( F_NOCARRIER )",
                    1},
        queued_case{"HttpStatus", "status:500", "HTTP status 500 from ADDR", "8 ( F_NOCARRIER )",
                    1},
        queued_case{"ServerError", "code:503", "to=alice, code=503 : Scripted failure",
                    "8 ( F_NOCARRIER )", 1},
        queued_case{"ClosedWithoutAnswer", "close", "exchange with ADDR failed",
                    "8 ( F_NOCARRIER )", 1},
        queued_case{"WrongAccount", "setup",
                    "carrier ADDR refused the gateway's setup, service=default, code=401 : "
                    "Invalid senderID",
                    "128 ( F_UNKNOWN )", 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
