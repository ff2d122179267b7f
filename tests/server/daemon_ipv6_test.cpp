// The daemon from outside over IPv6: peers on ::1 beside IPv4 peers, their
// host text in logs and queue files, access rules, session limit, ident.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "support/daemon_run.h"
#include "support/ident_peer.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

constexpr char REFUSED[] = "421 Permission Denied by Administrator\r\n";
constexpr char BUSY[] = "421 Too many connections, try again later\r\n";
constexpr char PAGER[] = "pager=alice pagerid=1234567\n";

// A client connection to `address` (IPv4 or IPv6 text) on port 444.
class client {
 public:
  explicit client(const std::string& address) {
    sockaddr_storage addr{};
    socklen_t len = 0;
    auto* six = reinterpret_cast<sockaddr_in6*>(&addr);
    auto* four = reinterpret_cast<sockaddr_in*>(&addr);
    if (inet_pton(AF_INET6, address.c_str(), &six->sin6_addr) == 1) {
      six->sin6_family = AF_INET6;
      six->sin6_port = htons(444);
      len = sizeof *six;
    } else if (inet_pton(AF_INET, address.c_str(), &four->sin_addr) == 1) {
      four->sin_family = AF_INET;
      four->sin_port = htons(444);
      len = sizeof *four;
    } else {
      return;
    }
    fd_ = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~client() {
    if (fd_ >= 0) close(fd_);
  }
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Our port of the connection.
  unsigned local_port() const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  }
  void say(const std::string& line) {
    std::string text = line + "\r\n";
    ASSERT_EQ(static_cast<ssize_t>(text.size()), send(fd_, text.data(), text.size(), MSG_NOSIGNAL));
  }
  // The next line without CR LF; nullopt at the end or after 10 s.
  std::optional<std::string> line() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      size_t end = in_.find("\r\n", pos_);
      if (end != std::string::npos) {
        std::string text = in_.substr(pos_, end - pos_);
        pos_ = end + 2;
        return text;
      }
      if (!read_some(deadline)) return std::nullopt;
    }
  }
  // Everything up to the peer's close (bounded).
  std::string rest() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (read_some(deadline)) {
    }
    std::string text = in_.substr(pos_);
    pos_ = in_.size();
    return text;
  }

 private:
  bool read_some(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (fd_ < 0 || left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) return false;
    in_.append(buf, static_cast<size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string in_;
  size_t pos_ = 0;
};

// Sends one page for alice; the first reply that was not as expected, or "".
std::string send_page(client& c) {
  auto greeting = c.line();
  if (!greeting || greeting->rfind("220 ", 0) != 0) return "greeting: " + greeting.value_or("none");
  const std::pair<const char*, const char*> steps[] = {{"PAGEr alice", "250 "},
                                                       {"MESSage hello", "250 "},
                                                       {"SEND", "250 Message "},
                                                       {"QUIT", "221 "}};
  for (const auto& [command, reply] : steps) {
    c.say(command);
    auto got = c.line();
    if (!got || got->rfind(reply, 0) != 0)
      return std::string(command) + ": " + got.value_or("none");
  }
  return "";
}

bool has_line(const std::string& log, const std::string& line) {
  return ("\n" + log).find("\n" + line + "\n") != std::string::npos;
}

// The inodes of the sockets listening on port 444, from the kernel's
// tables for IPv4 and IPv6.
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
      if (state == "0A" && local.ends_with(":01BC")) found.push_back(inode);
    }
  }
  return found;
}

// The socket inodes among the descriptors of `pid`.
std::vector<std::string> socket_inodes(pid_t pid) {
  std::vector<std::string> found;
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return found;
  while (struct dirent* e = readdir(d)) {
    char target[128] = {};
    if (readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1) <= 0) continue;
    std::string text = target;
    if (text.rfind("socket:[", 0) == 0) found.push_back(text.substr(8, text.size() - 9));
  }
  closedir(d);
  return found;
}

class DaemonIpv6 : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << why;
    if (!ipv6_up()) GTEST_SKIP() << "no IPv6 loopback here";
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
  daemon_setup setup_;
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
    client peer(c.from);
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
    client peer(from);
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
  client first("::1");
  ASSERT_TRUE(first.connected());
  ASSERT_TRUE(first.line().has_value());  // its session runs
  for (const char* from : {"::1", "127.0.0.1"}) {
    SCOPED_TRACE(from);
    client turned_away(from);
    ASSERT_TRUE(turned_away.connected());
    EXPECT_EQ(BUSY, turned_away.rest());
    EXPECT_TRUE(
        d.wait_for_log(std::string("too many sessions, connection refused from [") + from + "]"))
        << d.log();
  }
  first.say("QUIT");
  EXPECT_EQ("221 OK, goodbye", first.line().value_or(""));
  ASSERT_TRUE(d.wait_for_log("disconnect from [anonymous]@[::1]")) << d.log();
  ASSERT_TRUE(wait_for_children(d.pid(), 0));
  client later("127.0.0.1");
  EXPECT_EQ("", send_page(later));
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonIpv6, TheDaemonListensOnBothAndItsChildrenOnNeither) {
  daemon_process d(setup_.write_config(PAGER), 3600);
  std::vector<std::string> listeners = listening_inodes();
  ASSERT_EQ(2u, listeners.size()) << "one IPv4 and one IPv6 listener";
  std::vector<std::string> held = socket_inodes(d.pid());
  for (const std::string& inode : listeners)
    EXPECT_NE(held.end(), std::find(held.begin(), held.end(), inode)) << inode;

  // The session child, and the queue child the first wait's end starts
  // while it lasts.
  client peer("::1");
  ASSERT_TRUE(peer.connected());
  ASSERT_TRUE(peer.line().has_value());
  ASSERT_TRUE(d.wait_for_log("processing the page queue")) << d.log();
  std::vector<pid_t> children = children_of(d.pid());
  ASSERT_FALSE(children.empty());
  for (pid_t child : children) {
    std::vector<std::string> sockets = socket_inodes(child);
    for (const std::string& inode : listeners)
      EXPECT_EQ(sockets.end(), std::find(sockets.begin(), sockets.end(), inode))
          << "child " << child << " holds listener " << inode;
  }
  peer.say("QUIT");
  EXPECT_EQ("221 OK, goodbye", peer.line().value_or(""));
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonIpv6, IdentIsAskedOfTheSixPeer) {
  sandbox::file_override hosts("/etc/hosts", "127.0.0.2\tother\n");
  daemon_process d(setup_.write_config(std::string(PAGER) + "identtimeout=5\n"), -1);
  identpeer::scripted ident("answer", "1,444:USERID:UNIX:joe\r\n");
  unsigned port = 0;
  {
    client peer("::1");
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
