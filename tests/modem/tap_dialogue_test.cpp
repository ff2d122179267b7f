// The modem dialogue, login, transfer and logout against the simulated
// modem and paging terminal.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "modem/serial.h"
#include "modem/tap.h"
#include "support/builders.h"
#include "support/cases.h"
#include "support/pty_sim.h"
#include "support/support.h"

using namespace callvane;
using testsupport::capture_fd;
using testsupport::file_exists;
using testsupport::pty_sim;
using testsupport::temp_dir;

namespace {

bool has(const std::string& log, const std::string& line) {
  return log.find(line + "\n") != std::string::npos;
}

class Dialogue : public ::testing::Test, public testsupport::job_parts {
 protected:
  void SetUp() override {
    saved_lockdir_ = lockdir;
    lockdir = locks_.path();
    interactive = true;  // log lines go to standard output, which is captured
    debug = 0;
    reset_packet_buffer();
    svc.phone = "5551234";
    svc.password = "secret";
    svc.baudrate = 9600;
    svc.parity = PARITY_NONE;
    pg.message = "hello world";
  }
  void TearDown() override {
    if (fd_ >= 0) finish();
    lockdir = saved_lockdir_;
    interactive = false;
  }

  // Opens the simulator's device and runs the connect dialogue.
  unsigned dial(pty_sim& sim, const modem* mdm = nullptr) {
    device_ = sim.device();
    capture_fd cap(1);
    fd_ = open_device(device_);
    EXPECT_GE(fd_, 0);
    if (fd_ < 0) {
      log += cap.finish();
      return ~0u;
    }
    EXPECT_EQ(setup_line(fd_, svc), 0);
    unsigned flag = modem_connect(fd_, svc, mdm);
    log += cap.finish();
    return flag;
  }
  int send(const job& what) {
    capture_fd cap(1);
    int result = transfer(fd_, what);
    log += cap.finish();
    return result;
  }
  void bye() {
    capture_fd cap(1);
    logout(fd_, svc);
    log += cap.finish();
  }
  // Hangs up and unlocks, as the dispatcher does after every call.
  void finish() {
    capture_fd cap(1);
    hangup(fd_);
    unlock_device(device_);
    log += cap.finish();
    fd_ = -1;
    std::string base = device_.substr(device_.rfind('/') + 1);
    EXPECT_FALSE(file_exists(locks_.file("LCK.." + base)));
  }

  temp_dir locks_;
  std::optional<std::string> saved_lockdir_;
  std::string device_;
  int fd_ = -1;
  std::string log;
};

std::string words(size_t length) { return testsupport::short_words(length); }

}  // namespace

TEST_F(Dialogue, DeliversAndLogsOut) {
  pty_sim sim;
  debug = 1;
  ASSERT_EQ(dial(sim), 0u);
  // Every write of the dialogue is a write of its own, and logged.
  for (const char* line :
       {"sending <\\r>", "sending <ATZ\\r>", "sending <ATDT5551234\\r>", "sending <\\ePG1>",
        "sending <secret>", "looking for <OK>", "found <OK>", "found <ATDT5551234>",
        "got byte: <I>", "got byte: <=>", "looking for <\\e[p>"})
    EXPECT_TRUE(has(log, line)) << line;
  EXPECT_TRUE(has(log, "initializing modem with ATZ"));
  EXPECT_TRUE(has(log, "dialing service acme with ATDT5551234"));
  EXPECT_TRUE(has(log, "waiting for connection"));
  EXPECT_TRUE(has(log, "connected to remote, service=acme"));
  EXPECT_TRUE(has(log, "logging into acme"));
  EXPECT_TRUE(has(log, "login accepted"));
  EXPECT_TRUE(has(log, "acme says ok to proceed"));
  EXPECT_EQ(send(j), 0);
  EXPECT_TRUE(has(log, "sending <\\0021234567\\ralice: hello world\\r\\003" +
                           tap_checksum("\x02"
                                        "1234567\ralice: hello world\r\x03") +
                           "\\r>"));
  EXPECT_TRUE(has(log, "message accepted"));
  EXPECT_TRUE(has(log, "page delivered, id=AbCd001, from=alice@example.org, to=alice, parts=1"));
  bye();
  EXPECT_TRUE(has(log, "logging out from acme"));
  EXPECT_TRUE(has(log, "sending <\\004\\r>"));
  finish();

  auto dials = sim.events("dial");
  ASSERT_EQ(dials.size(), 1u);
  EXPECT_EQ(dials[0][2], "5551234");
  auto logins = sim.events("login");
  ASSERT_EQ(logins.size(), 1u);
  EXPECT_EQ(logins[0][2], "secret");
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0][2], "1234567");
  EXPECT_EQ(blocks[0][3], "alice: hello world");
  EXPECT_EQ(sim.events("logout").size(), 1u);
  EXPECT_GE(sim.events("hangup").size(), 1u);
}

TEST_F(Dialogue, SplitMessageTwoJobsOneLogin) {
  pty_sim sim;
  ASSERT_EQ(dial(sim), 0u);
  pg.message = words(120);
  EXPECT_EQ(send(j), 0);
  EXPECT_TRUE(has(log, "page delivered, id=AbCd001, from=alice@example.org, to=alice, parts=3"));
  // A second job on the same connection, for a raw pager id.
  pager raw{"98765", std::nullopt, "98765", nullptr};
  rcpt r2;
  r2.pager = "98765";
  page p2;
  p2.message = "second";
  p2.ident = "carol";
  job j2{&p2, &r2, &svc, &raw};
  EXPECT_EQ(send(j2), 0);
  EXPECT_TRUE(has(log, "page delivered, id=[none], from=carol, to=98765, parts=1"));
  bye();
  finish();

  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0][3].substr(0, 9), "alice:1: ");
  EXPECT_EQ(blocks[1][3].substr(0, 9), "alice:2: ");
  EXPECT_EQ(blocks[2][3].substr(0, 9), "alice:e: ");
  EXPECT_EQ(blocks[3][2], "98765");
  EXPECT_EQ(blocks[3][3], "carol: second");
  EXPECT_EQ(sim.events("login").size(), 1u);
  EXPECT_EQ(sim.events("dial").size(), 1u);
}

TEST_F(Dialogue, ModemAndServiceDialCommands) {
  pty_sim sim;
  modem m;
  m.name = "hayes";
  m.initcmd = "AT&F";
  m.dialcmd = "ATDP";
  svc.password.reset();
  EXPECT_EQ(dial(sim, &m), 0u);
  EXPECT_TRUE(has(log, "initializing modem with AT&F"));
  EXPECT_TRUE(has(log, "dialing service acme with ATDP5551234"));
  finish();
  // The obsolete service dial prefix wins over the modem's.
  svc.dialcmd = "ATD9W";
  EXPECT_EQ(dial(sim, &m), 0u);
  EXPECT_TRUE(has(log, "dialing service acme with ATD9W5551234"));
  finish();

  auto dials = sim.events("dial");
  ASSERT_EQ(dials.size(), 2u);
  EXPECT_EQ(dials[0][2], "5551234");
  EXPECT_EQ(dials[1][2], "9W5551234");
  // Without a password the login is ESC "PG1" and CR alone.
  auto logins = sim.events("login");
  ASSERT_EQ(logins.size(), 2u);
  EXPECT_EQ(logins[0][2], "");
}

TEST_F(Dialogue, DialResultsGiveTheirFlags) {
  // One call per result, in a row on the same device.
  pty_sim sim({"--dial-result", "BUSY", "--dial-result", "NO DIALTONE", "--dial-result",
               "NO CARRIER", "--dial-result", "OK", "--dial-result", "CONNECT 9600"});
  EXPECT_EQ(dial(sim), F_BUSY);
  EXPECT_TRUE(has(log, "remote is busy, service=acme"));
  finish();
  EXPECT_EQ(dial(sim), F_NOMODEM);
  EXPECT_TRUE(has(log, "no answer from remote, service=acme"));
  finish();
  log.clear();
  EXPECT_EQ(dial(sim), F_NOCARRIER);
  EXPECT_TRUE(has(log, "no answer from remote, service=acme"));
  finish();
  EXPECT_EQ(dial(sim), F_NOCARRIER);
  EXPECT_TRUE(has(log, "dial string failed, service=acme"));
  finish();
  EXPECT_EQ(dial(sim), 0u);
  finish();
  EXPECT_EQ(sim.events("dial").size(), 5u);
  EXPECT_EQ(sim.events("login").size(), 1u);
}

TEST_F(Dialogue, LoginFailures) {
  pty_sim sim({"--login-reply", "eot", "--login-reply", "hangup", "--login-reply", "no-goahead"});
  EXPECT_EQ(dial(sim), F_FORCED);
  EXPECT_TRUE(has(log, "forced disconnect from acme"));
  finish();
  EXPECT_EQ(dial(sim), F_NOCARRIER);
  EXPECT_TRUE(has(log, "unexpected hangup by acme"));
  finish();
  EXPECT_EQ(dial(sim), F_UNKNOWN);
  EXPECT_TRUE(has(log, "no go-ahead from acme"));
}

// A terminal that falls silent: after the login, and after a block.
TEST_F(Dialogue, SilenceAtLoginOrAfterABlock) {
  pty_sim sim({"--login-reply", "silence", "--login-reply", "ack", "--block-reply", "silence"});
  EXPECT_EQ(dial(sim), F_UNKNOWN);
  EXPECT_TRUE(has(log, "login failed (timeout waiting for ACK)")) << log;
  finish();
  ASSERT_EQ(dial(sim), 0u) << log;
  EXPECT_EQ(send(j), -1);
  EXPECT_TRUE(has(log, "no valid response from acme")) << log;
  EXPECT_TRUE(
      has(log, "page failed, id=AbCd001, from=alice@example.org, to=alice, parts=1 : <NULL>"))
      << log;
}

TEST_F(Dialogue, LogoutWarnsOfRs) {
  pty_sim sim({"--logout-rs", "yes"});
  ASSERT_EQ(dial(sim), 0u);
  bye();
  EXPECT_TRUE(has(log, "warning: acme sent <RS>"));
  finish();
  EXPECT_EQ(sim.events("logout").size(), 1u);
}

TEST_F(Dialogue, GarbageAndOverlongLinesAreSurvived) {
  // 2000 bytes of noise (NULs, high-bit bytes, no line end) before every
  // answer of the modem and the terminal.
  pty_sim sim({"--garbage", "2000"});
  ASSERT_EQ(dial(sim), 0u);
  EXPECT_EQ(send(j), 0);
  bye();
  finish();
  EXPECT_EQ(sim.events("block").size(), 1u);
}

TEST_F(Dialogue, TerminalThatDiesMidSession) {
  pty_sim sim;
  ASSERT_EQ(dial(sim), 0u);
  sim.stop();
  EXPECT_EQ(send(j), -1);
  bye();
  finish();
}

TEST_F(Dialogue, BadChecksumIsAnsweredWithNak) {
  pty_sim sim;
  ASSERT_EQ(dial(sim), 0u);
  std::string block = tap_block("1234567", "hello");
  block[block.size() - 2] ^= 1;  // spoil the last checksum character
  send_string(fd_, block.c_str());
  auto answer = getpacket(fd_, 5);
  ASSERT_TRUE(answer.has_value());
  EXPECT_NE(answer->find('\x15'), std::string::npos);
  finish();
  EXPECT_EQ(sim.events("badsum").size(), 1u);
  EXPECT_TRUE(sim.events("recv").empty());
}

namespace {

int count(const pty_sim& sim, const std::string& kind) {
  return static_cast<int>(sim.events(kind).size());
}

// A call that ends in the connect dialogue, and what it leaves behind.
struct dial_case {
  const char* name;
  std::vector<std::string> faults;  // of the simulator
  unsigned flag;                    // what the dialogue returns
  const char* line = nullptr;       // a line it logs
  int logins = -1, dials = -1;      // events of the simulator, when counted
};

const dial_case DIAL_CASES[] = {
    {"ModemWithoutEchoCannotDial", {"--echo", "no"}, F_NOMODEM, "cannot dial modem"},
    {"SilentModemCannotBeInitialised",
     {"--init-reply", "none"},
     F_NOMODEM,
     "cannot initialize modem",
     -1,
     0},
    {"LatePromptIsWaitedFor", {"--prompt-after", "3"}, 0, nullptr, 1},
    // "IID=": the second I restarts the match and is dropped, so no cycle
    // ever sees the prompt.
    {"PromptMatchRestartsWithoutRetestingTheByte",
     {"--prompt", "IID="},
     F_NOPROMPT,
     "no login prompt from acme",
     0},
    {"PromptAmidNoise", {"--prompt", "xIDxID=\r\n"}, 0},
    {"LoginRepeatedAfterNaks", {"--login-nak", "2"}, 0, "login requested again", 3},
    {"SevenLoginsAtMost", {"--login-nak", "7"}, F_UNKNOWN, "too many login attempts for acme", 7},
    {"WrongPasswordIsRefused", {"--password", "other", "--login-nak", "0"}, F_UNKNOWN, nullptr, 7},
    // The login was sent again before the disconnect was seen.
    {"NakAndEotInOnePacket",
     {"--login-reply", "nak-eot"},
     F_FORCED,
     "forced disconnect from acme",
     2},
    // Without a bound on the whole wait this would not return while the
    // simulator lives.
    {"EndlessTalkEndsTheAttempt", {"--chatter", "init"}, F_NOMODEM, "cannot initialize modem"},
};

class DialOutcome : public Dialogue, public ::testing::WithParamInterface<dial_case> {};

TEST_P(DialOutcome, Dial) {
  const dial_case& c = GetParam();
  pty_sim sim(c.faults);
  EXPECT_EQ(dial(sim), c.flag) << log;
  EXPECT_TRUE(!c.line || has(log, c.line)) << c.line << "\n" << log;
  finish();
  EXPECT_TRUE(c.logins < 0 || count(sim, "login") == c.logins) << sim.record();
  EXPECT_TRUE(c.dials < 0 || count(sim, "dial") == c.dials) << sim.record();
}

INSTANTIATE_TEST_SUITE_P(Cases, DialOutcome, ::testing::ValuesIn(DIAL_CASES),
                         testsupport::by_name{});

const std::string PAGE = "id=AbCd001, from=alice@example.org, to=alice, parts=";

// What a transfer returns and the simulator's events, when counted.
struct send_outcome {
  int result, recvs = -1, blocks = -1;
};

// One page sent after a good login, and what comes of it.
struct send_case {
  const char* name;
  std::vector<std::string> faults;  // of the simulator
  send_outcome want;
  std::vector<std::string> lines;  // that it logs
  size_t length = 0;               // of the message, when not the short one
  int maxmsgsize = 0;              // of the service, when not the default
};

const send_case SEND_CASES[] = {
    {"BlockNakedFiveTimesFailsWithReason",
     {"--block-nak", "5", "--reason", "  pager busy"},
     {-1, 5, 0},
     {"message requested again", "too many retries", "page failed, " + PAGE + "1 : pager busy"}},
    {"BlockNakedTwiceIsDelivered",
     {"--block-nak", "2"},
     {0, 3, 1},
     {"page delivered, " + PAGE + "1"}},
    {"RejectedBlock",
     {"--block-reply", "rs"},
     {-1},
     {"message rejected", "page failed, " + PAGE + "1 : <NULL>"}},
    {"DisconnectAtFirstBlockIsStatusUnknown",
     {"--block-reply", "eot", "--reason", "invalid pager"},
     {1},
     {"message not accepted, disconnect now",
      "page status unknown, " + PAGE + "1 : invalid pager"}},
    // Block 1 is received once, block 2 twice.
    {"HangupDuringSecondBlockCountsPartsOnce",
     {"--fault-block", "2", "--block-nak", "1", "--block-reply", "hangup"},
     {1, 3, 1},
     {"unexpected hangup by remote", "page status unknown, " + PAGE + "2 : <NULL>"},
     120},
    {"MaxmsgsizeTooSmallSendsNothing",
     {},
     {-1, 0},
     {"maxmsgsize too small", "page failed, " + PAGE + "0 : <NULL>"},
     0,
     30},
};

class SendOutcome : public Dialogue, public ::testing::WithParamInterface<send_case> {};

TEST_P(SendOutcome, Send) {
  const send_case& c = GetParam();
  pty_sim sim(c.faults);
  ASSERT_EQ(dial(sim), 0u) << log;
  if (c.length > 0) pg.message = words(c.length);
  if (c.maxmsgsize > 0) svc.maxmsgsize = c.maxmsgsize;
  EXPECT_EQ(send(j), c.want.result) << log;
  for (const std::string& line : c.lines) EXPECT_TRUE(has(log, line)) << line << "\n" << log;
  finish();
  EXPECT_TRUE(c.want.recvs < 0 || count(sim, "recv") == c.want.recvs) << sim.record();
  EXPECT_TRUE(c.want.blocks < 0 || count(sim, "block") == c.want.blocks) << sim.record();
}

INSTANTIATE_TEST_SUITE_P(Cases, SendOutcome, ::testing::ValuesIn(SEND_CASES),
                         testsupport::by_name{});

}  // namespace
