// The Zabbix media script: every alert text reaches the SNPP server as
// text, never as an option of the client.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/daemon_fixture.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace {

using namespace testsupport;

std::string script() { return source_dir() + "/examples/zabbix/callvane.sh"; }

run_options client_env() {
  run_options opts;
  opts.env["CALLVANE"] = callvane_path();
  opts.env["SNPP_SERVER"] = "127.0.0.1";
  opts.limit = std::chrono::seconds(30);
  return opts;
}

class ZabbixScript : public testsupport::sandboxed_test {};

TEST_F(ZabbixScript, TextsThatLookLikeOptionsArePagedAsTheyAre) {
  auto server = sandbox::peer::scripted("");
  auto r =
      run({"/bin/sh", script(), "oncall", "-d PROBLEM", "-s evil $(id) `id`; -i"}, client_env());
  std::string got = server.finish();
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ(
      "CALLerid zabbix\r\nPAGEr oncall\r\nDATA\r\n-d PROBLEM: -s evil $(id) `id`; -i\r\n"
      ".\r\nSEND\r\nQUIT\r\n",
      got);
}

TEST_F(ZabbixScript, RecipientThatLooksLikeAnOptionIsARecipient) {
  auto server = sandbox::peer::scripted("");
  auto r = run({"/bin/sh", script(), "-q60", "", "disk full"}, client_env());
  std::string got = server.finish();
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("CALLerid zabbix\r\nPAGEr -q60\r\nDATA\r\ndisk full\r\n.\r\nSEND\r\nQUIT\r\n", got);
}

TEST_F(ZabbixScript, RefusedPageIsAFailure) {
  auto server = sandbox::peer::scripted("PAGE 550 Error, invalid pager ID\n");
  auto r = run({"/bin/sh", script(), "nobody", "subject", "text"}, client_env());
  server.finish();
  EXPECT_EQ(1, r.status) << r.out << r.err;
}

struct bad_call {
  const char* name;
  std::vector<std::string> args;
};

void PrintTo(const bad_call& c, std::ostream* os) { *os << c.name; }

class ZabbixScriptRefuses : public ::testing::TestWithParam<bad_call> {};

// Refused before any client runs: the client would be pointed at nothing.
TEST_P(ZabbixScriptRefuses, BadCallsExitTwo) {
  std::vector<std::string> argv = {"/bin/sh", script()};
  for (const std::string& a : GetParam().args) argv.push_back(a);
  run_options opts = client_env();
  opts.env["CALLVANE"] = "/bin/false-never-run";
  auto r = run(argv, opts);
  EXPECT_EQ(2, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.err.find("callvane.sh")) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Calls, ZabbixScriptRefuses,
                         ::testing::Values(bad_call{"EmptyRecipient", {"", "subject", "text"}},
                                           bad_call{"OnlySeparators", {",/:", "subject", "text"}},
                                           bad_call{"TooFewArguments", {"oncall", "text"}},
                                           bad_call{"TooManyArguments", {"oncall", "a", "b", "c"}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
