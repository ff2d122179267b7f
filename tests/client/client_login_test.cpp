// The SNPP client's login from SNPP_LOGIN, against scripted servers.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "client/client.h"
#include "client_fixture.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using namespace clienttest;
using sandbox::peer;

namespace {

// A server that refuses every command but LOGIn and QUIT until it has
// accepted a login.
const char DEMANDS_LOGIN[] = "unauthenticated 550 Login first\n";

testsupport::run_options with_login(const std::optional<std::string>& login) {
  testsupport::run_options opts;
  opts.env.emplace("SNPP_LOGIN", login);
  return opts;
}

}  // namespace

TEST_F(Client, LoginFromTheEnvironmentOpensTheSession) {
  const std::pair<std::string, std::string> logins[] = {
      {"ops", "LOGIn ops\r\n"},
      {"ops s3cret", "LOGIn ops s3cret\r\n"},
      {"  ops   pass word  ", "LOGIn ops pass word\r\n"},
      {"op\xc3\xa9r x", "LOGIn op\xc3\xa9r x\r\n"},
  };
  for (const auto& [value, command] : logins) {
    peer server = peer::scripted(std::string(DEMANDS_LOGIN) + "LOGI 250 Login accepted\n");
    auto r = client({"-f", "bob", "-s", "localhost", "pager", "disk full"}, with_login(value));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.finish(), command +
                                   "CALLerid bob\r\nPAGEr pager\r\nDATA\r\ndisk full\r\n.\r\n"
                                   "SEND\r\nQUIT\r\n");
  }
}

TEST_F(Client, RefusedLoginEndsThePageWithTheReply) {
  peer server =
      peer::scripted(std::string(DEMANDS_LOGIN) + "LOGI 550 Error, invalid login or password\n");
  // the second server is never tried: a refusal is an answer
  auto r =
      client({"-f", "bob", "-s", "localhost,127.0.0.1", "pager", "m"}, with_login("ops wrong"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Login refused by localhost: 550 Error, invalid login or password\n");
  EXPECT_EQ(server.finish(), "LOGIn ops wrong\r\nQUIT\r\n");
}

TEST_F(Client, LoginCutShortIsFatal) {
  peer server = peer::scripted("LOGI 421 going down\n");
  auto r = client({"-f", "", "-s", "localhost", "pager", "m"}, with_login("ops"));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Fatal error, aborting\n");
  EXPECT_EQ(server.finish(), "LOGIn ops\r\n");
}

TEST_F(Client, NoLoginVariableSendsNoLogin) {
  for (const std::optional<std::string>& value :
       {std::optional<std::string>(), std::optional<std::string>("")}) {
    {
      peer server = peer::scripted("");
      auto r = client({"-f", "bob", "-s", "localhost", "pager", "m"}, with_login(value));
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(server.finish(),
                "CALLerid bob\r\nPAGEr pager\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n");
    }
    {
      // a server that demands a login then refuses the page
      peer server = peer::scripted(DEMANDS_LOGIN);
      auto r = client({"-f", "", "-s", "localhost", "pager", "m"}, with_login(value));
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, "Cannot send page to pager\n");
      EXPECT_EQ(server.finish(), "PAGEr pager\r\nQUIT\r\n");
    }
  }
}

TEST_F(Client, BadLoginVariableIsRefusedBeforeConnecting) {
  const std::pair<std::string, std::string> bad[] = {
      {"ops\r\nPAGEr 1", "SNPP_LOGIN holds a control character\n"},
      {"ops\tpw", "SNPP_LOGIN holds a control character\n"},
      {"ops\x7f", "SNPP_LOGIN holds a control character\n"},
      {"   ", "SNPP_LOGIN holds no user name\n"},
      {std::string(257, 'u'), "SNPP_LOGIN is too long (at most 256 characters)\n"},
  };
  for (const auto& [value, message] : bad) {
    // no server listens: any connection attempt would say so
    auto r = client({"-s", "localhost", "pager", "m"}, with_login(value));
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, message);
  }
  // the longest accepted login goes through
  peer server = peer::scripted("");
  auto r = client({"-f", "", "-s", "localhost", "pager", "m"}, with_login(std::string(256, 'u')));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(server.finish().substr(0, 6 + 256 + 2), "LOGIn " + std::string(256, 'u') + "\r\n");
}

TEST_F(Client, DebugTraceHidesThePassword) {
  peer server = peer::scripted("LOGI 250 Login accepted\n");
  auto r = client({"-d", "-f", "", "-s", "localhost", "pager", "m"}, with_login("ops s3cret"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(">>> LOGIn ops ********\n250 Login accepted\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
  EXPECT_EQ(server.finish().substr(0, 18), "LOGIn ops s3cret\r\n");
}

TEST(ParseLogin, UserAndPassword) {
  struct login_case {
    std::string text;
    std::optional<std::string> user, password, why;
  };
  const login_case cases[] = {
      {"ops", "ops", "", std::nullopt},
      {" ops  a b ", "ops", "a b", std::nullopt},
      {"ops\n", std::nullopt, std::nullopt, "SNPP_LOGIN holds a control character\n"},
      {"", std::nullopt, std::nullopt, "SNPP_LOGIN holds no user name\n"},
  };
  for (const auto& c : cases) {
    std::string why;
    auto login = parse_login(c.text, why);
    EXPECT_EQ(login.has_value(), c.user.has_value()) << c.text;
    if (login) {
      EXPECT_EQ(login->user, *c.user);
      EXPECT_EQ(login->password, *c.password);
    } else {
      EXPECT_EQ(why, *c.why);
    }
  }
}
