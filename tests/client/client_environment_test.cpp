// The client's session settings: no LOGIn, SNPP_SITE and SNPP_TIMEOUT.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "client/client.h"
#include "client_fixture.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using namespace clienttest;
using namespace std::chrono_literals;
using sandbox::peer;
using testsupport::contains;

namespace {

const char PAGE_WIRE[] = "PAGEr pager\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n";

testsupport::run_options with(const std::string& name, const std::string& value,
                              const std::string& login = "") {
  testsupport::run_options opts;
  opts.env.emplace(name, value);
  if (!login.empty()) opts.env.emplace("SNPP_LOGIN", login);
  return opts;
}

}  // namespace

TEST_F(Client, LoginTheServerLacksIsLeftOut) {
  for (const char* reply : {"500 Command not implemented", "502 Command not implemented"}) {
    peer server = peer::scripted(std::string("LOGI ") + reply + "\n");
    auto r =
        client({"-d", "-f", "", "-s", "localhost", "pager", "m"}, with("SNPP_LOGIN", "ops s3cret"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Server localhost has no LOGIn; going on without it"));
    EXPECT_FALSE(contains(r.out + r.err, "s3cret"));
    EXPECT_EQ(server.finish(), std::string("LOGIn ops s3cret\r\n") + PAGE_WIRE);
  }
}

TEST_F(Client, ThirdPartyServerWithoutLoginTakesThePage) {
  if (access("/usr/share/perl5/Net/SNPP/Server.pm", R_OK) != 0)
    GTEST_SKIP() << "Net::SNPP::Server is not installed (libnet-snpp-perl)";
  peer server = peer::netsnpp();
  auto r =
      client({"-f", "", "-s", "localhost", "5551234", "hello"}, with("SNPP_LOGIN", "ops s3cret"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(server.finish(), "5551234|0|hello\n\n");
}

TEST_F(Client, SiteCommandsFollowTheLogin) {
  {
    peer server = peer::scripted("");
    auto r = client({"-f", "", "-s", "localhost", "pager", "m"},
                    with("SNPP_SITE", " SITE queue on ;; SITE hold 5 ", "ops"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(server.finish(),
              std::string("LOGIn ops\r\nSITE queue on\r\nSITE hold 5\r\n") + PAGE_WIRE);
  }
  peer server = peer::scripted("SITE 550 Unknown site command\n");
  auto r = client({"-f", "", "-s", "localhost", "pager", "m"}, with("SNPP_SITE", "SITE queue on"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "SITE queue on refused by localhost: 550 Unknown site command\n");
  EXPECT_EQ(server.finish(), "SITE queue on\r\nQUIT\r\n");
}

TEST_F(Client, BadSessionSettingsAreRefusedBeforeConnecting) {
  const std::pair<testsupport::run_options, std::string> bad[] = {
      {with("SNPP_SITE", "SITE a\r\nPAGEr 1"), "SNPP_SITE holds a control character\n"},
      {with("SNPP_SITE", std::string(1025, 'x')),
       "SNPP_SITE is too long (at most 1024 characters)\n"},
      {with("SNPP_TIMEOUT", "0"), "SNPP_TIMEOUT must be a number of seconds from 1 to 86400\n"},
      {with("SNPP_TIMEOUT", "86401"), "SNPP_TIMEOUT must be a number of seconds from 1 to 86400\n"},
      {with("SNPP_TIMEOUT", "5s"), "SNPP_TIMEOUT must be a number of seconds from 1 to 86400\n"},
  };
  for (const auto& [opts, message] : bad) {
    // no server listens: any connection attempt would say so
    auto r = client({"-s", "localhost", "pager", "m"}, opts);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, message);
  }
}

TEST_F(Client, SendWaitsAsLongAsSnppTimeoutAllows) {
  EXPECT_EQ(send_reply_timeout, 300s);
  reply_timeout = 200ms;
  setenv("SNPP_TIMEOUT", "2", 1);
  peer server = peer::scripted("SEND !silent\n");
  page p = make_page("m", {to("a")});
  auto started = std::chrono::steady_clock::now();
  auto r = submit(p, "localhost");
  auto took = std::chrono::steady_clock::now() - started;
  unsetenv("SNPP_TIMEOUT");
  send_reply_timeout = 300s;
  EXPECT_EQ(r.result, -1);
  EXPECT_EQ(r.err, "Fatal error, aborting\n");
  EXPECT_GE(took, 2s) << "SEND had only the other replies' wait";
  EXPECT_LT(took, 10s);
}
