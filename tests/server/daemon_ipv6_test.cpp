// The daemon from outside over IPv6: peers on ::1 beside IPv4 peers, their
// host text in logs and queue files, access rules, session limit, ident.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/ident_peer.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

constexpr char REFUSED[] = "421 Permission Denied by Administrator\r\n";
constexpr char BUSY[] = "421 Too many connections, try again later\r\n";
constexpr char PAGER[] = "pager=alice pagerid=1234567\n";

// Sends one page for alice; the first reply that was not as expected, or "".
std::string send_page(snpp_connection& c) {
  auto greeting = c.line();
  if (!greeting || greeting->rfind("220 ", 0) != 0) return "greeting: " + greeting.value_or("none");
  const std::pair<const char*, const char*> steps[] = {{"PAGEr alice", "250 "},
                                                       {"MESSage hello", "250 "},
                                                       {"SEND", "250 Message "},
                                                       {"QUIT", "221 "}};
  for (const auto& [command, reply] : steps) {
    if (!c.send(std::string(command) + "\r\n")) return std::string(command) + ": not sent";
    auto got = c.line();
    if (!got || got->rfind(reply, 0) != 0)
      return std::string(command) + ": " + got.value_or("none");
  }
  return "";
}

bool has_line(const std::string& log, const std::string& line) {
  return ("\n" + log).find("\n" + line + "\n") != std::string::npos;
}

// The sockets listening on port 444 ("socket:[<inode>]"), from the
// kernel's tables for IPv4 and IPv6.
std::vector<std::string> listening_inodes() {
  std::vector<std::string> found;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::istringstream lines(read_file(table));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      if (state == "0A" && local.ends_with(":01BC")) found.push_back("socket:[" + inode + "]");
    }
  }
  return found;
}

class DaemonIpv6 : public sandboxed_daemon {
 protected:
  void SetUp() override {
    sandboxed_daemon::SetUp();
    if (!IsSkipped() && !ipv6_up()) GTEST_SKIP() << "no IPv6 loopback here";
  }
  // The one page file in the spool.
  std::string queued() const {
    auto names = setup_.spool_files("P");
    if (names.size() != 1) return "(" + std::to_string(names.size()) + " queue files)";
    return read_file(setup_.spool() + "/" + names[0]);
  }
  static bool ipv6_up() {
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
  }
};

struct host_case {
  const char* name;
  const char* hosts;  // /etc/hosts
  const char* from;   // the client's address
  const char* shown;  // the host in the log and the queue file
};

class PeerHost : public DaemonIpv6, public ::testing::WithParamInterface<host_case> {};

TEST_P(PeerHost, PageIsQueuedWithThePeersHost) {
  const host_case& c = GetParam();
  sandbox::file_override hosts("/etc/hosts", c.hosts);
  // A negative interval: the page stays in the queue to be looked at.
  daemon_process d(setup_.write_config(PAGER), -1);
  {
    snpp_connection peer(c.from);
    ASSERT_TRUE(peer.connected());
    EXPECT_EQ("", send_page(peer));
  }
  std::string who = std::string("[anonymous]@") + c.shown;
  ASSERT_TRUE(d.wait_for_log("disconnect from " + who)) << d.log();
  EXPECT_TRUE(has_line(d.log(), "connection from " + who)) << d.log();
  std::string file = queued();
  EXPECT_NE(std::string::npos, file.find(std::string("\nHostname: ") + c.shown + "\n")) << file;
  EXPECT_EQ(0, d.stop());
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, PeerHost,
    ::testing::Values(
        host_case{"SixWithoutAName", "127.0.0.1\tlocalhost\n", "::1", "[::1]"},
        host_case{"SixByName", "127.0.0.1\tlocalhost\n::1\tsix.test\n", "::1", "six.test"},
        // Beside the IPv6 listener an IPv4 peer stays plain IPv4, also when
        // it dials the IPv4-mapped form from an IPv6 socket.
        host_case{"FourWithoutAName", "127.0.0.2\tother\n", "127.0.0.1", "[127.0.0.1]"},
        host_case{"FourByName", "127.0.0.1\tlocalhost\n", "127.0.0.1", "localhost"},
        host_case{"MappedFourIsPlainFour", "127.0.0.2\tother\n", "::ffff:127.0.0.1",
                  "[127.0.0.1]"}),
    [](const auto& info) { return std::string(info.param.name); });

struct rule_case {
  const char* name;
  const char* allow;
  const char* deny;
  bool six_allowed;
  bool four_allowed;
};

class HostRules : public DaemonIpv6, public ::testing::WithParamInterface<rule_case> {};

TEST_P(HostRules, BracketedSixAddressRuleDecides) {
  const rule_case& c = GetParam();
  sandbox::file_override allow("/etc/hosts.allow", c.allow);
  sandbox::file_override deny("/etc/hosts.deny", c.deny);
  sandbox::file_override hosts("/etc/hosts", "127.0.0.2\tother\n");
  daemon_process d(setup_.write_config(PAGER), -1);
  for (auto [from, allowed] : {std::pair{"::1", c.six_allowed}, {"127.0.0.1", c.four_allowed}}) {
    SCOPED_TRACE(from);
    std::string who = std::string("[anonymous]@[") + from + "]";
    snpp_connection peer(from);
    ASSERT_TRUE(peer.connected());
    if (allowed) {
      EXPECT_EQ("", send_page(peer));
      EXPECT_TRUE(d.wait_for_log("disconnect from " + who)) << d.log();
    } else {
      EXPECT_EQ(REFUSED, peer.rest());
      EXPECT_TRUE(d.wait_for_log("connection refused from " + who)) << d.log();
    }
  }
  EXPECT_EQ(static_cast<size_t>(c.six_allowed + c.four_allowed), setup_.spool_files("P").size());
  EXPECT_EQ(0, d.stop());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HostRules,
    ::testing::Values(rule_case{"AllowSixOnly", "callvane: [::1]\n", "ALL: ALL\n", true, false},
                      rule_case{"DenySixOnly", "", "callvane: [::1]\n", false, true},
                      rule_case{"DenySixNetwork", "", "callvane: [::]/0\n", false, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonIpv6, SessionLimitCountsBothFamilies) {
  sandbox::file_override hosts("/etc/hosts", "127.0.0.2\tother\n");
  daemon_process d(setup_.write_config(std::string(PAGER) + "maxsessions=1\n"), -1);
  snpp_connection first("::1");
  ASSERT_TRUE(first.connected());
  ASSERT_TRUE(first.line().has_value());  // its session runs
  for (const char* from : {"::1", "127.0.0.1"}) {
    SCOPED_TRACE(from);
    snpp_connection turned_away(from);
    ASSERT_TRUE(turned_away.connected());
    EXPECT_EQ(BUSY, turned_away.rest());
    EXPECT_TRUE(
        d.wait_for_log(std::string("too many sessions, connection refused from [") + from + "]"))
        << d.log();
  }
  ASSERT_TRUE(first.send("QUIT\r\n"));
  EXPECT_EQ("221 OK, goodbye", first.line().value_or(""));
  ASSERT_TRUE(d.wait_for_log("disconnect from [anonymous]@[::1]")) << d.log();
  ASSERT_TRUE(wait_for_children(d.pid(), 0));
  snpp_connection later("127.0.0.1");
  EXPECT_EQ("", send_page(later));
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonIpv6, TheDaemonListensOnBothAndItsChildrenOnNeither) {
  daemon_process d(setup_.write_config(PAGER), 3600);
  std::vector<std::string> listeners = listening_inodes();
  ASSERT_EQ(2u, listeners.size()) << "one IPv4 and one IPv6 listener";
  std::set<std::string> held = sockets_of(d.pid());
  for (const std::string& socket : listeners) EXPECT_EQ(1u, held.count(socket)) << socket;

  // The session child, and the queue child the first wait's end starts
  // while it lasts.
  snpp_connection peer("::1");
  ASSERT_TRUE(peer.connected());
  ASSERT_TRUE(peer.line().has_value());
  ASSERT_TRUE(d.wait_for_log("processing the page queue")) << d.log();
  std::vector<pid_t> children = children_of(d.pid());
  ASSERT_FALSE(children.empty());
  // A child just forked may not have closed them yet; it must at once.
  for (pid_t child : children) {
    auto holds_none = [&] {
      std::set<std::string> sockets = sockets_of(child);
      return std::none_of(listeners.begin(), listeners.end(),
                          [&](const std::string& socket) { return sockets.count(socket) > 0; });
    };
    EXPECT_TRUE(wait_until(holds_none, 2s)) << "child " << child << " holds a listener";
  }
  ASSERT_TRUE(peer.send("QUIT\r\n"));
  EXPECT_EQ("221 OK, goodbye", peer.line().value_or(""));
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonIpv6, IdentIsAskedOfTheSixPeer) {
  sandbox::file_override hosts("/etc/hosts", "127.0.0.2\tother\n");
  daemon_process d(setup_.write_config(std::string(PAGER) + "identtimeout=5\n"), -1);
  identpeer::scripted ident("answer", "1,444:USERID:UNIX:joe\r\n");
  unsigned port = 0;
  {
    snpp_connection peer("::1");
    ASSERT_TRUE(peer.connected());
    port = peer.local_port();
    EXPECT_EQ("", send_page(peer));
  }
  // The question names this connection: our port, then the daemon's.
  EXPECT_EQ(std::to_string(port) + ", 444\r\n", ident.finish());
  ASSERT_TRUE(d.wait_for_log("disconnect from joe@[::1]")) << d.log();
  EXPECT_TRUE(has_line(d.log(), "connection from joe@[::1]")) << d.log();
  std::string file = queued();
  EXPECT_NE(std::string::npos, file.find("\nIdent: joe\n")) << file;
  EXPECT_NE(std::string::npos, file.find("\nHostname: [::1]\n")) << file;
  EXPECT_EQ(0, d.stop());
}

}  // namespace
