// The SNPP client against scripted servers and Net::SNPP::Server, inside a
// private network namespace so that the snpp port 444 is ours alone.
#include "client/client.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>

#include "client_fixture.h"
#include "common/settings.h"
#include "common/text.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using namespace std::chrono_literals;
using sandbox::peer;
using testsupport::time_zone;
using namespace clienttest;

namespace {

size_t open_descriptors() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) n++;
    closedir(d);
  }
  return n;
}

}  // namespace

namespace {

// One page submitted to a scripted server: what the client makes of the
// answers, and what the server received.
struct dialogue_case {
  const char* name;
  std::string script;
  std::function<page()> make;
  const char* zone;  // local time zone while submitting, or nullptr
  int result;
  std::string err;
  std::optional<std::string> wire;  // not looked at when nullopt
};

void PrintTo(const dialogue_case& c, std::ostream* os) { *os << c.name; }

class Dialogue : public Client, public ::testing::WithParamInterface<dialogue_case> {};

}  // namespace

TEST_P(Dialogue, GoesAsScripted) {
  const dialogue_case& c = GetParam();
  std::optional<time_zone> zone;
  if (c.zone) zone.emplace(c.zone);
  peer server = peer::scripted(c.script);
  page p = c.make();
  auto r = submit(p, "localhost");
  EXPECT_EQ(r.result, c.result);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.out, "");
  std::string wire = server.finish();
  if (c.wire) {
    EXPECT_EQ(wire, *c.wire);
  }
}

namespace {

const std::string PLAIN = "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n";
const char FATAL[] = "Fatal error, aborting\n";
const char CANCELED[] = "Cannot send message; entire page is canceled\n";

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Pages, Dialogue,
    ::testing::Values(
        dialogue_case{
            "WholeDialogueInOrder", "",
            [] {
              return make_page("hello  there\n world", {to("first"), to("second")}, "bob");
            },
            nullptr, 0, "",
            "CALLerid bob\r\nPAGEr first\r\nPAGEr second\r\nDATA\r\nhello there world\r\n"
            ".\r\nSEND\r\nQUIT\r\n"},
        dialogue_case{"HoldTimeIsSentAsLocalTime", "",
                      [] {
                        rcpt held = to("x");
                        held.holduntil = 1700000000;  // 2023-11-14 22:13:20 UTC
                        held.coverage = "south";
                        held.servicelevel = 0;
                        return make_page("m", {held});
                      },
                      "EST5", 0, "",
                      "HOLDuntil 231114171320\r\nCOVErage south\r\nLEVEl 0\r\nPAGEr x\r\n"
                      "DATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n"},
        // An empty sender sends no CALLerid.
        dialogue_case{"RefusedOptionsSkipOnlyThatRecipient", "COVE 550 no such area\nCOVE 250 ok\n",
                      [] {
                        rcpt a = to("a"), b = to("b");
                        a.coverage = "nowhere";
                        b.coverage = "somewhere";
                        return make_page("text", {a, b}, "");
                      },
                      nullptr, 0, "Cannot set coverage to nowhere (skipping a)\n",
                      "COVErage nowhere\r\nCOVErage somewhere\r\nPAGEr b\r\nDATA\r\ntext\r\n.\r\n"
                      "SEND\r\nQUIT\r\n"},
        dialogue_case{"EveryComplaintOfARecipient",
                      "HOLD 550 no\nHOLD 250 ok\nLEVE 550 no\nLEVE 250 ok\nPAGE 550 no\nPAGE 250\n"
                      "CALL 550 who\n",
                      [] {
                        rcpt a = to("a"), b = to("b"), c = to("c"), d = to("d");
                        a.holduntil = b.holduntil = 86400 * 365;
                        b.servicelevel = c.servicelevel = 7;
                        return make_page("text", {a, b, c, d}, "me");
                      },
                      "UTC", 0,
                      "CALLerid me not accepted\n"
                      "Cannot hold page until 710101000000 (skipping a)\n"
                      "Cannot set level to 7 (skipping b)\n"
                      "Cannot send page to c\n",
                      "CALLerid me\r\n"
                      "HOLDuntil 710101000000\r\n"
                      "HOLDuntil 710101000000\r\nLEVEl 7\r\n"
                      "LEVEl 7\r\nPAGEr c\r\n"
                      "PAGEr d\r\nDATA\r\ntext\r\n.\r\nSEND\r\nQUIT\r\n"},
        dialogue_case{"HoldTimeBeyondTheCalendarSkipsTheRecipient", "",
                      [] {
                        rcpt far = to("far"), near = to("near");
                        far.holduntil = INT64_MAX;
                        return make_page("m", {far, near});
                      },
                      nullptr, 0, "localtime() failed\n",
                      "PAGEr near\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n"},
        dialogue_case{
            "DataRefusedFallsBackToOneMessageLine", "DATA 500 what\n",
            [] { return make_page("first line\nSEND\r\nPAGEr x\n\n  last ", {to("a")}); }, nullptr,
            0, "\n", "PAGEr a\r\nDATA\r\nMESSage first line SEND PAGEr x last\r\nSEND\r\nQUIT\r\n"},
        dialogue_case{"MessageRefusedCancelsThePage", "DATA 500 no\nMESS 550 too long\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, -1,
                      std::string("\n") + CANCELED, "PAGEr a\r\nDATA\r\nMESSage m\r\nQUIT\r\n"},
        dialogue_case{"TextRefusedCancelsThePage", ". 554 bad text\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, -1, CANCELED,
                      "PAGEr a\r\nDATA\r\nm\r\n.\r\nQUIT\r\n"},
        dialogue_case{"SendRefusedFailsThePage", "SEND 554 failed\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, -1, "Page failed\n",
                      PLAIN},
        dialogue_case{"GreetingMustBeClassTwo", "greeting 421 not today\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, -1, FATAL, "QUIT\r\n"},
        dialogue_case{"GarbageAndHelpLinesAreSkipped",
                      "greeting no number here\\n220 ok\nPAGE 214 help one\\n214 help two\\n"
                      "xyz\\n250 fine\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, 0,
                      "Bogus response: no number here\nBogus response: xyz\n", PLAIN},
        // 1023 bytes fill one reply line; the rest of that line is a reply of
        // its own whose leading number decides.
        dialogue_case{"LongReplyLinesAreReadInPieces",
                      "PAGE 214 " + std::string(1019, 'h') + "550 refused\n",
                      [] { return make_page("m", {to("a")}); }, nullptr, 1,
                      "Cannot send page to a\n", std::nullopt},
        dialogue_case{"LineEndsInNamesNeverStartACommand", "",
                      [] {
                        rcpt r = to("a\nSEND");
                        r.coverage = "north\r\nQUIT";
                        return make_page("hi", {r}, "joe@example.org\n\tRESEt");
                      },
                      nullptr, 0, "",
                      "CALLerid joe@example.org \tRESEt\r\nCOVErage north  QUIT\r\nPAGEr a SEND\r\n"
                      "DATA\r\nhi\r\n.\r\nSEND\r\nQUIT\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Client, RecipientsFromTheCommandLineGoInReverseOrder) {
  peer server = peer::scripted("");
  auto r = client({"-f", "bob", "-p", "a,b/c", "-l", "3", "-c", "north", "-P", "d", "-p", "e", "-s",
                   "localhost", "two", "words"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.finish(),
            "CALLerid bob\r\n"
            "COVErage north\r\nLEVEl 3\r\nPAGEr e\r\n"
            "COVErage north\r\nLEVEl 3\r\nPAGEr d\r\n"
            "PAGEr c\r\nPAGEr b\r\nPAGEr a\r\n"
            "DATA\r\ntwo words\r\n.\r\nSEND\r\nQUIT\r\n");
}

TEST_F(Client, NoRecipientAccepted) {
  peer server = peer::scripted("PAGE 550 unknown pager\n");
  auto r = client({"-f", "", "-p", "a,b", "-s", "localhost", "msg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot send page to b\nCannot send page to a\n");
  EXPECT_EQ(server.finish(), "PAGEr b\r\nPAGEr a\r\nQUIT\r\n");
}

TEST_F(Client, SendCutShortIsFatal) {
  peer server = peer::scripted("SEND 421 going down\n");
  auto r = client({"-p", "a", "-s", "localhost", "m"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Fatal error, aborting\n");
  std::string wire = server.finish();
  EXPECT_EQ(wire.substr(wire.find("PAGEr")), "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\n");
}

TEST_F(Client, WrappedBodyNeverGluesWords) {
  std::string word69(69, 'w');
  std::string word68(68, 'v');
  std::string long_word(150, 'L');
  const std::vector<std::string> messages = {
      word69 + " next",                          // a piece ends exactly at a word end
      word69 + "\n\t  next " + word69 + " end",  // twice, with other whitespace
      word68 + " x " + word69 + " tail",         // a piece ending in a blank
      long_word + " after",                      // a word longer than a piece is cut
      "short",
  };
  for (const std::string& m : messages) {
    peer server = peer::scripted("");
    page p = make_page(m, {to("a")});
    auto r = submit(p, "localhost");
    EXPECT_EQ(r.result, 0);
    std::string folded;
    for (char c : m) {
      bool space = c == ' ' || c == '\n' || c == '\t';
      if (space && !folded.empty() && folded.back() == ' ') continue;
      folded.push_back(space ? ' ' : c);
    }
    EXPECT_EQ(server.finish(), "PAGEr a\r\nDATA\r\n" + folded + "\r\n.\r\nSEND\r\nQUIT\r\n");
  }
}

TEST_F(Client, DebugTraceOnStandardOutput) {
  debug = 1;
  peer server = peer::scripted("greeting 220 hi there\nPAGE 214 help\\n250 pager ok\n");
  page p = make_page(std::string(69, 'w') + " next", {to("a")});
  auto r = submit(p, "localhost");
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.out,
            "Connecting to SNPP server at localhost\nConnected\n220 hi there\n"
            ">>> PAGEr a\n214 help\n250 pager ok\n>>> DATA\n354 go ahead\n>>> " +
                std::string(69, 'w') +
                " \n>>> next\n>>> .\n250 message ok\n>>> SEND\n250 ok\n"
                ">>> QUIT\n221 bye\n");
  server.finish();
}

TEST_F(Client, ServerClosingAtAnyPointIsFatalOnce) {
  for (std::string key : {"greeting", "CALL", "PAGE", "DATA", ".", "SEND", "QUIT"}) {
    size_t fds = open_descriptors();
    peer server = peer::scripted(key + " !close\n");
    page p = make_page("m", {to("a")}, "bob");
    auto r = submit(p, "localhost");
    std::string wire = server.finish();
    if (key == "QUIT") {
      EXPECT_EQ(r.result, 0);
    } else {
      EXPECT_EQ(r.result, -1) << key;
    }
    // a closed greeting still gets its QUIT attempt, which finds the end too
    EXPECT_EQ(r.err, key == "greeting" ? "Fatal error, aborting\nFatal error, aborting\n"
                                       : "Fatal error, aborting\n")
        << key;
    // nothing follows the command that met the end
    if (key != "greeting" && key != ".") {
      std::string last = key == "CALL" ? "CALLerid bob" : key == "PAGE" ? "PAGEr a" : key;
      EXPECT_EQ(wire.substr(wire.size() - last.size() - 2), last + "\r\n") << key;
    }
    EXPECT_EQ(open_descriptors(), fds) << key;
  }
}

TEST_F(Client, SilentServerTimesOut) {
  EXPECT_EQ(reply_timeout, 60s);
  reply_timeout = 300ms;
  for (std::string script : {"greeting !silent\n", "PAGE !silent\n", "PAGE !flood\n"}) {
    peer server = peer::scripted(script);
    page p = make_page("m", {to("a")});
    auto start = std::chrono::steady_clock::now();
    auto r = submit(p, "localhost");
    // well before the peer's own 30 second limit would end the connection
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << script;
    EXPECT_EQ(r.result, -1) << script;
    if (script == "greeting !silent\n") {
      // the QUIT after the bad greeting finds the stream already ended
      EXPECT_EQ(r.err, "Fatal error, aborting\nFatal error, aborting\n");
    } else {
      EXPECT_EQ(r.err, "Fatal error, aborting\n") << script;
    }
    server.finish();
  }
}

TEST_F(Client, LongNamesAreSentWhole) {
  peer server = peer::scripted("");
  std::string name(3000, 'n'), sender(2500, 's'), coverage(2000, 'c');
  rcpt r = to(name);
  r.coverage = coverage;
  page p = make_page(std::string(5000, 'm'), {r}, sender);
  auto result = submit(p, "localhost");
  EXPECT_EQ(result.result, 0);
  std::string wire = server.finish();
  EXPECT_NE(wire.find("CALLerid " + sender + "\r\n"), std::string::npos);
  EXPECT_NE(wire.find("COVErage " + coverage + "\r\n"), std::string::npos);
  EXPECT_NE(wire.find("PAGEr " + name + "\r\n"), std::string::npos);
}

TEST_F(Client, ServerListIsTriedInOrder) {
  {
    peer server = peer::scripted("");
    page p = make_page("m", {to("a")});
    auto r = submit(p, "alpha.invalid, localhost");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, "Unknown host: alpha.invalid\n");
    server.finish();
  }
  {
    page p = make_page("m", {to("a")});
    auto r = submit(p, "alpha.invalid:beta.invalid\n");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, "Unknown host: alpha.invalid\nUnknown host: beta.invalid\nUnknown host: \n");
  }
  {
    page p = make_page("m", {to("a")});
    auto r = submit(p, "127.0.0.1");
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.err, "Cannot connect to SNPP server at 127.0.0.1: Connection refused\n");
  }
}

TEST_F(Client, ServerListFallbacksFromOutside) {
  auto write_servers = [](const std::string& text) {
    FILE* f = fopen("/usr/local/etc/callvane.servers", "w");
    ASSERT_NE(f, nullptr);
    fputs(text.c_str(), f);
    fclose(f);
  };
  {
    // SNPP_SERVER when there is no -s
    peer server = peer::scripted("");
    testsupport::run_options opts;
    opts.env["SNPP_SERVER"] = "nowhere.invalid,127.0.0.1";
    auto r = testsupport::run_callvane({"-p", "a", "m"}, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unknown host: nowhere.invalid\n");
    server.finish();
  }
  {
    // -s wins over SNPP_SERVER and the file
    write_servers("file.invalid\n");
    peer server = peer::scripted("");
    testsupport::run_options opts;
    opts.env["SNPP_SERVER"] = "env.invalid";
    auto r = testsupport::run_callvane({"-s", "localhost", "-p", "a", "m"}, opts);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    server.finish();
  }
  {
    // the whole servers file, one name a line, with the empty last name
    write_servers("alpha.invalid\nbeta.invalid\n");
    auto r = client({"-p", "a", "m"});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "Unknown host: alpha.invalid\nUnknown host: beta.invalid\nUnknown host: \n");
    write_servers("alpha.invalid\nlocalhost\n");
    peer server = peer::scripted("");
    r = client({"-p", "a", "m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unknown host: alpha.invalid\n");
    server.finish();
  }
  {
    // without any of them: localhost
    unlink("/usr/local/etc/callvane.servers");
    peer server = peer::scripted("");
    auto r = client({"-d", "-p", "a", "m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 39), "Connecting to SNPP server at localhost\n");
    server.finish();
  }
}

TEST_F(Client, PortComesFromTheServicesDatabase) {
  {
    // snpp on another port: that port is used
    sandbox::file_override services("/etc/services", "snpp 2444/tcp\n");
    peer server = peer::scripted("", 2444);
    page p = make_page("m", {to("a")});
    EXPECT_EQ(submit(p, "localhost").result, 0);
    EXPECT_EQ(server.finish(), "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n");
  }
  {
    // no snpp entry at all: 444
    sandbox::file_override services("/etc/services", "smtp 25/tcp\n");
    peer server = peer::scripted("");
    page p = make_page("m", {to("a")});
    EXPECT_EQ(submit(p, "localhost").result, 0);
    EXPECT_EQ(server.finish(), "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n");
  }
}

TEST_F(Client, MessageFromStandardInput) {
  peer server = peer::scripted("");
  testsupport::run_options opts;
  opts.input = "first line\n  second\tline\n.\nnot part of it\n";
  auto r = client({"-s", "localhost", "-f", "bob", "pager"}, opts);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(server.finish(),
            "CALLerid bob\r\nPAGEr pager\r\nDATA\r\nfirst line second line\r\n.\r\nSEND\r\n"
            "QUIT\r\n");
}

TEST_F(Client, SenderRuleWithMail) {
  const std::string mail =
      "From alice Tue Dec  8 10:00:00 2026\n"
      "From: Alice <alice@example.org>\n"
      "Subject: hi\n"
      "\n"
      "body text\n";
  testsupport::run_options opts;
  opts.input = mail;
  {
    // the mail's sender stands
    peer server = peer::scripted("");
    auto r = client({"-m", "-s", "localhost", "pager"}, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.finish(),
              "CALLerid alice@example.org\r\nPAGEr pager\r\nDATA\r\n"
              "Alice <alice@example.org> (Subj: hi) body text \r\n.\r\nSEND\r\nQUIT\r\n");
  }
  {
    // -f wins over the mail
    peer server = peer::scripted("");
    auto r = client({"-m", "-f", "carol", "-s", "localhost", "pager"}, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.finish().substr(0, 16), "CALLerid carol\r\n");
  }
  {
    // a mail without any sender is anonymous
    peer server = peer::scripted("");
    opts.input = "From x\n\nbody\n";
    auto r = client({"-m", "-s", "localhost", "pager"}, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.finish().substr(0, 20), "CALLerid anonymous\r\n");
  }
  {
    // without -m and -f: the current user
    peer server = peer::scripted("");
    auto r = client({"-s", "localhost", "pager", "m"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected = "CALLerid " + current_user() + "\r\n";
    EXPECT_EQ(server.finish().substr(0, expected.size()), expected);
  }
}

// Net::SNPP::Server: a third-party implementation of the server side.
TEST_F(Client, ThirdPartyServerReceivesThePage) {
  if (access("/usr/share/perl5/Net/SNPP/Server.pm", R_OK) != 0)
    GTEST_SKIP() << "Net::SNPP::Server is not installed (libnet-snpp-perl)";
  {
    peer server = peer::netsnpp();
    testsupport::run_options opts;
    auto r = client({"-f", "bob", "-p", "5551234,5559876", "-s", "localhost", "call me", "now"});
    // it knows no CALLerid, so the sender is refused and the page goes on
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "CALLerid bob not accepted\n");
    EXPECT_EQ(server.finish(), "5559876|0|call me now\n\n5551234|0|call me now\n\n");
  }
  {
    time_zone zone("UTC");
    peer server = peer::netsnpp();
    rcpt held = to("777");
    held.holduntil = 1700000000;
    page p = make_page("held  page\nfor later", {held});
    auto r = submit(p, "localhost");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(server.finish(), "777|231114221320|held page for later\n\n");
  }
  {
    // level and coverage are not known to it: the recipient is skipped
    peer server = peer::netsnpp();
    auto r = client({"-f", "", "-l", "2", "-p", "1", "-s", "localhost", "m"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot set level to 2 (skipping 1)\n");
    EXPECT_EQ(server.finish(), "");
  }
}
