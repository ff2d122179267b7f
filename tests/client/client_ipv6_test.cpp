// The SNPP client over IPv6 and with names of several addresses, inside a
// private network namespace: literals, names, and falling through.
#include <gtest/gtest.h>
#include <netdb.h>

#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "support/peer_snpp.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using server = testsupport::snpp_peer;

namespace {

constexpr char DIALOGUE[] = "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n";
// The same from the program, run with -f bob.
const std::string PROGRAM_DIALOGUE = std::string("CALLerid bob\r\n") + DIALOGUE;

// The addresses `name` resolves to, in the resolver's order, as text.
std::vector<std::string> resolved(const char* name) {
  std::vector<std::string> found;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &list) != 0) return found;
  for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    char text[INET6_ADDRSTRLEN];
    if (getnameinfo(ai->ai_addr, ai->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
        0)
      found.push_back(text);
  }
  freeaddrinfo(list);
  return found;
}

class ClientIpv6 : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
    server probe("::1");
    if (!probe.listening()) GTEST_SKIP() << "no IPv6 loopback here";
  }

  struct outcome {
    int result;
    std::string err;
  };
  static outcome submit(const std::string& servers) {
    page p;
    p.message = "m";
    rcpt r;
    r.pager = "a";
    p.rcpts.push_back(r);
    testsupport::capture_fd err(2);
    int result = submit_page(p, servers);
    return {result, err.finish()};
  }
  static testsupport::run_result client(const std::vector<std::string>& args,
                                        const std::optional<std::string>& env_servers) {
    testsupport::run_options opts;
    opts.env.emplace("SNPP_SERVER", env_servers);
    opts.env.emplace("SNPP_LOGIN", std::nullopt);
    return testsupport::run_callvane(args, opts);
  }
  static constexpr char HOSTS[] =
      "127.0.0.1\tlocalhost\n::1\tsix.test\n::1\tboth.test\n127.0.0.1\tboth.test\n";
};

struct list_case {
  const char* name;
  const char* servers;
  const char* err;  // what the client says before it reaches ::1
};

class SixServer : public ClientIpv6, public ::testing::WithParamInterface<list_case> {};

TEST_P(SixServer, PageReachesTheServerOnLoopbackSix) {
  sandbox::file_override hosts("/etc/hosts", HOSTS);
  const list_case& c = GetParam();
  {
    server six("::1");
    ASSERT_TRUE(six.listening());
    outcome r = submit(c.servers);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(DIALOGUE, six.finish());
  }
  {
    // The program from outside, the list given with -s.
    server six("::1");
    auto r = client({"-f", "bob", "-s", c.servers, "-p", "a", "m"}, std::nullopt);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(PROGRAM_DIALOGUE, six.finish());
  }
  {
    // ... and with SNPP_SERVER.
    server six("::1");
    auto r = client({"-f", "bob", "-p", "a", "m"}, c.servers);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(PROGRAM_DIALOGUE, six.finish());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, SixServer,
    ::testing::Values(
        list_case{"BareLiteral", "::1", ""}, list_case{"BracketedLiteral", "[::1]", ""},
        list_case{"LongLiteral", "0:0:0:0:0:0:0:1", ""}, list_case{"ByName", "six.test", ""},
        list_case{"AfterAnUnknownHost", "nowhere.invalid,::1", "Unknown host: nowhere.invalid\n"},
        list_case{"BracketedAfterAColon", "nowhere.invalid:[::1]",
                  "Unknown host: nowhere.invalid\n"},
        list_case{"BracketedBeforeAColon", "[::1]:nowhere.invalid", ""},
        list_case{"AfterARefusingServer", "127.0.0.1 ::1",
                  "Cannot connect to SNPP server at 127.0.0.1: Connection refused\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientIpv6, RefusingAddressFallsThroughToTheNextOfTheName) {
  sandbox::file_override hosts("/etc/hosts", HOSTS);
  std::vector<std::string> order = resolved("both.test");
  ASSERT_EQ(2u, order.size());
  ASSERT_NE(order[0].find(':') == std::string::npos, order[1].find(':') == std::string::npos)
      << "one address of each family";
  // Only the address the resolver gives second has a server: the first
  // refuses, silently, and the page goes to the second.
  {
    server second(order[1]);
    ASSERT_TRUE(second.listening());
    outcome r = submit("both.test");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(DIALOGUE, second.finish());
  }
  {
    server second(order[1]);
    auto r = client({"-d", "-f", "bob", "-s", "both.test", "-p", "a", "m"}, std::nullopt);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, r.out.rfind("Connecting to SNPP server at both.test\nConnected\n", 0)) << r.out;
    EXPECT_EQ(PROGRAM_DIALOGUE, second.finish());
  }
  {
    // The first address serves: the second is never tried.
    server first(order[0]);
    outcome r = submit("both.test");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(DIALOGUE, first.finish());
  }
}

TEST_F(ClientIpv6, NameWhoseAddressesAllRefuseFailsOnceAsAWhole) {
  sandbox::file_override hosts("/etc/hosts", HOSTS);
  outcome r = submit("both.test");
  EXPECT_EQ(-1, r.result);
  EXPECT_EQ("Cannot connect to SNPP server at both.test: Connection refused\n", r.err);
  // Then the next server of the list.
  server six("::1");
  r = submit("both.test,[::1]");
  EXPECT_EQ(0, r.result);
  EXPECT_EQ("", r.err) << "the name had a server on one of its addresses";
  EXPECT_EQ(DIALOGUE, six.finish());
}

TEST_F(ClientIpv6, LiteralThatRefusesIsToldByItsText) {
  for (const char* servers : {"::1", "[::1]"}) {
    outcome r = submit(servers);
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ(std::string("Cannot connect to SNPP server at ") + servers + ": Connection refused\n",
              r.err);
  }
}

struct split_case {
  const char* list;
  std::vector<std::string> names;
};

class ServerList : public ::testing::TestWithParam<split_case> {};

TEST_P(ServerList, NamesComeOutOneByOne) {
  const split_case& c = GetParam();
  std::optional<std::string_view> state{std::string_view(c.list)};
  std::vector<std::string> names;
  std::string name;
  while (names.size() < 20 && next_server(state, name)) names.push_back(name);
  EXPECT_EQ(c.names, names) << c.list;
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ServerList,
    ::testing::Values(
        // As before: commas, colons and blanks separate names; a list that
        // ends in separators ends in one empty name.
        split_case{"alpha, beta", {"alpha", "beta"}},
        split_case{"alpha:beta\n", {"alpha", "beta", ""}},
        split_case{"alpha::beta", {"alpha", "beta"}},
        split_case{"127.0.0.1:localhost", {"127.0.0.1", "localhost"}},
        // IPv6 addresses stay whole.
        split_case{"::1", {"::1"}}, split_case{"::1\n", {"::1", ""}},
        split_case{"alpha,::1 beta", {"alpha", "::1", "beta"}},
        split_case{"fe80::1%lo,2001:db8::7", {"fe80::1%lo", "2001:db8::7"}},
        split_case{"::ffff:127.0.0.1", {"::ffff:127.0.0.1"}},
        // Bracketed addresses, of either family, may be followed by a colon.
        split_case{"[::1]:alpha", {"[::1]", "alpha"}},
        split_case{"alpha:[2001:db8::1]:[127.0.0.1]", {"alpha", "[2001:db8::1]", "[127.0.0.1]"}},
        // Not an address: split at its colons as before.
        split_case{"::1:alpha", {"1", "alpha"}}, split_case{"[alpha]:beta", {"[alpha]", "beta"}}));

}  // namespace
