// The SNPP client over IPv6 and with names of several addresses, inside a
// private network namespace: literals, names, and falling through.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "client/client.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;

namespace {

constexpr char DIALOGUE[] = "PAGEr a\r\nDATA\r\nm\r\n.\r\nSEND\r\nQUIT\r\n";
// The same from the program, run with -f bob.
const std::string PROGRAM_DIALOGUE = std::string("CALLerid bob\r\n") + DIALOGUE;

// A small SNPP server on one address (IPv4 or IPv6) and port 444 that
// serves one client: 220, 354 for DATA, 221 for QUIT, else 250. It records
// what the client sent. The socket listens before the constructor returns.
class server {
 public:
  explicit server(const sockaddr_storage& addr) {
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (addr.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    socklen_t len = addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || listen(fd, 5) != 0) {
      close(fd);
      return;
    }
    int out[2];
    if (pipe(out) != 0) return;
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(out[0]);
      alarm(20);  // never outlive a test
      serve(fd, out[1]);
      _exit(0);
    }
    close(out[1]);
    close(fd);
    record_ = out[0];
  }
  ~server() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (record_ >= 0) close(record_);
  }
  server(const server&) = delete;
  server& operator=(const server&) = delete;

  bool listening() const { return pid_ > 0; }
  // What the client sent, once the server has ended (bounded).
  std::string finish() {
    std::string got;
    char buf[1024];
    pollfd p{record_, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0) {
      ssize_t n = read(record_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

 private:
  static void reply(int fd, const char* text) { send(fd, text, strlen(text), MSG_NOSIGNAL); }
  static void serve(int listener, int record) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    reply(fd, "220 test server ready\r\n");
    std::string pending;
    bool in_data = false;
    char buf[512];
    for (;;) {
      size_t end = pending.find("\r\n");
      if (end == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return;
        pending.append(buf, static_cast<size_t>(n));
        continue;
      }
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      std::string recorded = line + "\r\n";
      if (write(record, recorded.data(), recorded.size()) < 0) return;
      if (in_data) {
        in_data = line != ".";
        if (!in_data) reply(fd, "250 ok\r\n");
      } else if (line == "DATA") {
        in_data = true;
        reply(fd, "354 go on\r\n");
      } else if (line == "QUIT") {
        reply(fd, "221 bye\r\n");
        close(fd);
        return;
      } else {
        reply(fd, "250 ok\r\n");
      }
    }
  }
  pid_t pid_ = -1;
  int record_ = -1;
};

sockaddr_storage address(const char* text) {
  sockaddr_storage addr{};
  auto* six = reinterpret_cast<sockaddr_in6*>(&addr);
  auto* four = reinterpret_cast<sockaddr_in*>(&addr);
  if (inet_pton(AF_INET6, text, &six->sin6_addr) == 1) {
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(444);
  } else if (inet_pton(AF_INET, text, &four->sin_addr) == 1) {
    four->sin_family = AF_INET;
    four->sin_port = htons(444);
  }
  return addr;
}

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
    server probe(address("::1"));
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
    server six(address("::1"));
    ASSERT_TRUE(six.listening());
    outcome r = submit(c.servers);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(DIALOGUE, six.finish());
  }
  {
    // The program from outside, the list given with -s.
    server six(address("::1"));
    auto r = client({"-f", "bob", "-s", c.servers, "-p", "a", "m"}, std::nullopt);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(PROGRAM_DIALOGUE, six.finish());
  }
  {
    // ... and with SNPP_SERVER.
    server six(address("::1"));
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
    server second(address(order[1].c_str()));
    ASSERT_TRUE(second.listening());
    outcome r = submit("both.test");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(DIALOGUE, second.finish());
  }
  {
    server second(address(order[1].c_str()));
    auto r = client({"-d", "-f", "bob", "-s", "both.test", "-p", "a", "m"}, std::nullopt);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(0u, r.out.rfind("Connecting to SNPP server at both.test\nConnected\n", 0)) << r.out;
    EXPECT_EQ(PROGRAM_DIALOGUE, second.finish());
  }
  {
    // The first address serves: the second is never tried.
    server first(address(order[0].c_str()));
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
  server six(address("::1"));
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
