// SMS through the simulated GSM modem: each scripted answer and what the
// recipient keeps of it, long messages in parts, the PIN kept out of logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "config/config.h"
#include "modem/dispatch.h"
#include "modem/gsm.h"
#include "modem/gsmtext.h"
#include "queue/jobs.h"
#include "support/builders.h"
#include "support/cases.h"
#include "support/pty_sim.h"
#include "support/support.h"

using namespace callvane;
using testsupport::contains;
using testsupport::pty_sim;

namespace {

const char NUMBER[] = "+4512345678";

// The simulator as a GSM modem, with this script.
std::vector<std::string> gsm(std::vector<std::string> script = {}) {
  script.insert(script.begin(), "--gsm");
  return script;
}
const char PIN[] = "73519";

class Sms : public ::testing::Test {
 protected:
  void SetUp() override {
    free_modems(modems);
    free_services(services);
    free_pagers(pagers);
    lockdir = locks_.path();
    queuedir = locks_.path();
    debug = 2;  // every trace there is: the PIN must stay out of all of it
    forget_refused_pins();
  }
  void TearDown() override {
    queuedir.reset();
    debug = 0;
    forget_refused_pins();
    free_pagers(pagers);
    free_services(services);
    free_modems(modems);
  }

  // Modem gsm on the simulator (with `pin`, if any) for service gsm, and
  // pagers ann and bob on it.
  service& sms_service(const pty_sim& sim, const std::string& pin = "") {
    modems.push_front(modem{});
    modems.front().name = "gsm";
    modems.front().device = sim.device();
    if (!pin.empty()) modems.front().pin = pin;
    services.push_front(service{});
    service& s = services.front();
    s.name = "gsm";
    s.device = "gsm";
    s.protocol = delivery_protocol::sms;
    s.baudrate = 115200;
    s.parity = PARITY_NONE;
    pagers.push_front(pager{"ann", std::nullopt, NUMBER, &s});
    pagers.push_front(pager{"bob", std::nullopt, "+4587654321", &s});
    return s;
  }
  // Delivers the page as a queue run does; what was logged.
  static std::string deliver(page& p) {
    job_list jobs;
    testsupport::capture_fd err(2);
    add_jobs(jobs, p);
    send_jobs(jobs);
    return err.finish();
  }
  static page make_page(const std::vector<std::string>& to, const std::string& message) {
    return testsupport::make_page(to, message, 1, "ops@example.org", "ABCD000");
  }

  testsupport::temp_dir locks_;
};

// One page to ann against a scripted modem.
struct sms_case {
  const char* name;
  std::vector<std::string> script;  // of the simulated modem
  const char* pin;                  // the modem record's pin=
  uint32_t flags;
  int goodtries;
  const char* line;  // logged
  size_t sent;       // messages the modem sent
};

const char FAILED[] = "page failed, id=ABCD000, from=ops@example.org, to=ann, parts=";

const sms_case CASES[] = {
    {"Delivered",
     {},
     "",
     F_SENT,
     1,
     "page delivered, id=ABCD000, from=ops@example.org, to=ann, parts=1",
     1},
    {"PinGiven",
     {"--sim-pin", PIN},
     PIN,
     F_SENT,
     1,
     "registered with home network, service=gsm",
     1},
    {"WrongPin", {"--sim-pin", "11111"}, PIN, F_REJECT, 1, "refused the PIN (+CME ERROR: 16)", 0},
    {"PinNeededNoneSet", {"--sim-pin", "11111"}, "", F_REJECT, 1, "needs a PIN and none is set", 0},
    {"NoSim", {"--no-sim", "yes"}, "", F_UNKNOWN, 1, "no SIM in ", 0},
    {"NotRegistered",
     {"--creg", "0"},
     "",
     F_NOCARRIER,
     1,
     "not registered with a network, service=gsm",
     0},
    {"RegistrationDenied",
     {"--creg", "3"},
     "",
     F_NOCARRIER,
     1,
     "network registration denied, service=gsm",
     0},
    {"RegisteredAfterSearching",
     {"--creg", "2", "--creg-after", "2"},
     "",
     F_SENT,
     1,
     "registered with home network",
     1},
    {"Roaming", {"--creg", "5"}, "", F_SENT, 1, "registered with roaming network", 1},
    // Refused for good: the tries are used up at once.
    {"UnassignedNumber", {"--refuse", NUMBER}, "", F_REJECT, 6, "parts=1 : +CMS ERROR: 1", 0},
    {"NetworkOutOfOrder", {"--cms-error", "38"}, "", F_REJECT, 1, "parts=1 : +CMS ERROR: 38", 0},
    {"NoPrompt", {"--silent", "prompt"}, "", F_UNKNOWN, 1, "parts=1 : no prompt for the text", 0},
    // A modem that says nothing is no modem: not counted, as for TAP.
    {"SilentModem", {"--silent", "all"}, "", F_NOMODEM, 0, "cannot initialize modem", 0},
};

class SmsOutcome : public Sms, public ::testing::WithParamInterface<sms_case> {};

TEST_P(SmsOutcome, Deliver) {
  const sms_case& c = GetParam();
  pty_sim sim(gsm(c.script));
  sms_service(sim, c.pin);
  page p = make_page({"ann"}, "hello world");
  std::string log = deliver(p);
  const rcpt& r = p.rcpts.front();
  EXPECT_EQ(r.flags, c.flags) << log;
  EXPECT_EQ(r.tries, 1);
  EXPECT_EQ(r.goodtries, c.goodtries);
  EXPECT_TRUE(contains(log, c.line)) << c.line << "\n" << log;
  EXPECT_TRUE(std::string(c.line).rfind("parts=", 0) != 0 || contains(log, FAILED)) << log;
  EXPECT_FALSE(contains(log, PIN)) << log;
  auto sms = sim.events("sms");
  ASSERT_EQ(sms.size(), c.sent) << sim.record();
  for (const auto& m : sms) EXPECT_EQ(m[2] + "|" + m[3], std::string(NUMBER) + "|ops: hello world");
}

INSTANTIATE_TEST_SUITE_P(Cases, SmsOutcome, ::testing::ValuesIn(CASES), testsupport::by_name{});

TEST_F(Sms, WrongPinIsNeverSentTwice) {
  pty_sim sim(gsm({"--sim-pin", "11111"}));
  sms_service(sim, PIN);
  page p = make_page({"ann", "bob"}, "hello");
  std::string log = deliver(p);
  EXPECT_EQ(sim.events("pin").size(), 1u) << sim.record();
  EXPECT_TRUE(contains(log, "refused the PIN before; not tried again")) << log;
  for (const rcpt& r : p.rcpts) {
    EXPECT_EQ(r.flags, F_REJECT) << r.pager;
    EXPECT_EQ(r.goodtries, 1) << r.pager;
  }
  // A later run is a process of its own: the spool remembers the refusal
  // until the configuration gives another PIN.
  forget_refused_pins();
  page later = make_page({"ann"}, "again");
  deliver(later);
  EXPECT_EQ(sim.events("pin").size(), 1u) << sim.record();
  modems.front().pin = "22222";
  deliver(later);
  EXPECT_EQ(sim.events("pin").size(), 2u) << sim.record();
}

TEST_F(Sms, LongMessageGoesInMarkedPartsOfAtMost160Septets) {
  pty_sim sim(gsm());
  sms_service(sim).maxpages = 3;
  // Each "[x]" is five septets: the ESC pairs count twice.
  std::string message;
  for (int i = 0; message.size() < 600; i++) message += "word" + std::to_string(i) + " [x] ";
  page p = make_page({"ann"}, message);
  std::string log = deliver(p);
  EXPECT_EQ(p.rcpts.front().flags, F_SENT) << log;
  EXPECT_TRUE(sim.events("toolong").empty()) << sim.record();
  auto sms = sim.events("sms");
  ASSERT_EQ(sms.size(), 3u) << sim.record();
  std::string joined;
  const char* marks[] = {"ops:1: ", "ops:2: ", "ops:t: "};
  for (size_t i = 0; i < 3; i++) {
    EXPECT_EQ(sms[i][3].rfind(marks[i], 0), 0u) << sms[i][3];
    joined += sms[i][3].substr(7);
  }
  EXPECT_EQ(message.rfind(joined, 0), 0u) << joined;
}

struct text_case {
  const char* name;
  std::string page, bytes;  // the page's text, the modem's bytes
  size_t septets;
};

const text_case TEXTS[] = {
    {"BasicTableCodes", "a@b$c_d",
     std::string("a\0b\x02"
                 "c\x11"
                 "d",
                 7),
     7},
    {"ExtensionTableTakesTwo", "[~]{|}^\\", "\x1b<\x1b=\x1b>\x1b(\x1b@\x1b)\x1b\x14\x1b/", 16},
    {"OutsideTheAlphabet", "`a\x1a\x80\tb", "'a?? b", 6},
};

class GsmText : public ::testing::TestWithParam<text_case> {};

TEST_P(GsmText, Encode) {
  std::string septets = gsm_septets(GetParam().page);
  EXPECT_EQ(septets.size(), GetParam().septets);
  EXPECT_EQ(gsm_bytes(septets), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, GsmText, ::testing::ValuesIn(TEXTS), testsupport::by_name{});

}  // namespace
