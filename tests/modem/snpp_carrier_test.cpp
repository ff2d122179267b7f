// SNPP carriers: what each answer to a relayed page leaves in the queue.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "modem/snppline.h"
#include "queue/spool_fixture.h"
#include "support/daemon_fixture.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace {

using spooltest::page_file;
using testsupport::contains;

const char PASSWORD[] = "s3cret";
const char QUEUE_FILE[] = "P912345678.000";

struct relay_case {
  const char* name;
  std::string script;  // for tools/snpppeer
  std::string alice;   // alice's entry afterwards ("" once the page is gone)
  std::string bob;
  std::string wire;  // a piece of what the carrier received
};

void PrintTo(const relay_case& c, std::ostream* os) { *os << c.name; }

class SnppCarrier : public testsupport::sandboxed_test {
 protected:
  void SetUp() override {
    sandboxed_test::SetUp();
    if (IsSkipped()) return;
    // Read back head first, alice is the first job.
    spool_.put(QUEUE_FILE,
               spooltest::queue_text(
                   page_file{{{"bob"}, {"alice"}}, "ops@example.org", std::nullopt, "disk full"}));
  }

  // One queue run against the carrier on port 444, with `login` on the modem.
  testsupport::run_result relay(const std::string& login = "") {
    testsupport::run_options opts;
    opts.limit = std::chrono::seconds(60);
    auto r = testsupport::run_callvane(
        {"-d", "-q", "0", "-C", spool_.config("snpp:127.0.0.1:444 " + login)}, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.out + r.err, PASSWORD)) << "the password was shown";
    return r;
  }
  std::string entry(const std::string& pager) const {
    std::string text = testsupport::read_file(spool_.file(QUEUE_FILE));
    size_t end = text.find("Pager: " + pager + "\n");
    if (end == std::string::npos) return "";
    size_t start = text.rfind("Tries: ", end);
    return text.substr(start, end - start);
  }

  spooltest::spool spool_;
};

class SnppCarrierAnswers : public SnppCarrier, public ::testing::WithParamInterface<relay_case> {};

TEST_P(SnppCarrierAnswers, AnswersBecomeRecipientFlags) {
  const relay_case& c = GetParam();
  sandbox::peer carrier = sandbox::peer::scripted(c.script);
  auto r = relay(std::string("login=ops password=") + PASSWORD);
  EXPECT_TRUE(contains(r.err, "connected to remote, service=default")) << r.err;
  EXPECT_EQ(entry("alice"), c.alice) << r.err;
  EXPECT_EQ(entry("bob"), c.bob) << r.err;
  std::string wire = carrier.finish();
  EXPECT_TRUE(wire.starts_with("LOGIn ops s3cret\r\n")) << wire;
  EXPECT_TRUE(contains(wire, c.wire)) << wire;
}

const char SENT[] = "Tries: 1\nGoodtries: 1\nFlags: 1 ( F_SENT )\n";
const char SENT_TWICE[] =
    "PAGEr 1111111\r\nDATA\r\nops: disk full\r\n.\r\nSEND\r\n"
    "PAGEr 2222222\r\nDATA\r\nops: disk full\r\n.\r\nSEND\r\nQUIT\r\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, SnppCarrierAnswers,
    ::testing::Values(relay_case{"Accepted", "unauthenticated 550 Login first\nLOGI 250 Welcome\n",
                                 "", "", SENT_TWICE},
                      relay_case{"CarrierWithoutLogin", "LOGI 500 Command not implemented\n", "",
                                 "", SENT_TWICE},
                      // Refused for good: its tries (maxtries=3) are used up.
                      relay_case{"PagerRefused", "PAGE 550 Error, invalid pager ID\nPAGE 250 ok\n",
                                 "Tries: 1\nGoodtries: 3\nFlags: 256 ( F_REJECT )\n", SENT,
                                 "PAGEr 1111111\r\nRESEt\r\nPAGEr 2222222\r\n"},
                      relay_case{"SendLater", "SEND 450 Try again later\nSEND 250 ok\n",
                                 "Tries: 1\nGoodtries: 1\nFlags: 128 ( F_UNKNOWN )\n", SENT,
                                 "SEND\r\nRESEt\r\nPAGEr 2222222\r\n"},
                      relay_case{"ClosedMidDialogue", "DATA !close\n",
                                 "Tries: 1\nGoodtries: 1\nFlags: 8 ( F_NOCARRIER )\n",
                                 "Tries: 1\nGoodtries: 1\nFlags: 8 ( F_NOCARRIER )\n",
                                 "PAGEr 1111111\r\nDATA\r\n"},
                      relay_case{"LoginRefused", "LOGI 550 Error, invalid login or password\n",
                                 "Tries: 1\nGoodtries: 1\nFlags: 128 ( F_UNKNOWN )\n",
                                 "Tries: 1\nGoodtries: 1\nFlags: 8 ( F_NOCARRIER )\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SnppCarrier, LostLineIsNotSentAgainInTheSameRun) {
  sandbox::peer carrier = sandbox::peer::scripted("SEND !close\n");
  auto r = relay();
  EXPECT_TRUE(contains(r.err,
                       "page not sent, id=AAAA000, from=ops@example.org, to=alice : "
                       "connection lost"))
      << r.err;
  EXPECT_EQ(carrier.finish(), "PAGEr 1111111\r\nDATA\r\nops: disk full\r\n.\r\nSEND\r\n");
}

TEST_F(SnppCarrier, ThirdPartyServerTakesEveryPageOfTheRun) {
  if (access("/usr/share/perl5/Net/SNPP/Server.pm", R_OK) != 0)
    GTEST_SKIP() << "Net::SNPP::Server is not installed (libnet-snpp-perl)";
  sandbox::peer carrier = sandbox::peer::netsnpp();
  // It knows no LOGIn: the relay goes on without it.
  auto r = relay(std::string("login=ops password=") + PASSWORD);
  EXPECT_TRUE(contains(r.err, "has no LOGIn, going on without it")) << r.err;
  EXPECT_EQ(spool_.names(), (std::vector<std::string>{"finished", "lock"})) << r.err;
  EXPECT_EQ(carrier.finish(), "1111111|0|ops: disk full\n\n2222222|0|ops: disk full\n\n");
}

TEST(CarrierText, WholeMessageInOnePageWithinMaxmsgsize) {
  struct text_case {
    int maxmsgsize;
    bool msgprefix;
    std::string message, text;
  };
  const text_case cases[] = {
      {80, true, "disk full", "ops: disk full"},
      {80, false, std::string(70, 'x') + " tail", std::string(70, 'x') + " tail"},
      {20, true, "one two three four five", "ops: one two three"},
      {4, false, "abcdefgh", "abcd"},
      {0, true, "anything", ""},
  };
  for (const text_case& c : cases) {
    callvane::service svc;
    svc.maxmsgsize = c.maxmsgsize;
    svc.msgprefix = c.msgprefix;
    callvane::page pg;
    pg.from = "ops@example.org";
    pg.message = c.message;
    callvane::job j{&pg, nullptr, &svc, nullptr};
    EXPECT_EQ(callvane::carrier_text(j), c.text) << c.message;
  }
}

}  // namespace
