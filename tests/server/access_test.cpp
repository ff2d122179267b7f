// Connection acceptance with real TCP Wrappers rules, inside a private
// network and mount namespace: this test process plays the daemon.
#include "server/access.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>

#include "common/messageid.h"
#include "common/settings.h"
#include "config/config.h"
#include "support/daemon_run.h"
#include "support/ident_peer.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/wait.h"

using namespace callvane;
using testsupport::snpp_connection;

namespace {

constexpr char REFUSED[] = "421 Permission Denied by Administrator\r\n";
constexpr char ALLOW[] = "callvane: 127.0.0.1 127.0.0.2 joe@127.0.0.4\n";

class Access : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
    allow_ = std::make_unique<sandbox::file_override>("/etc/hosts.allow", ALLOW);
    deny_ = std::make_unique<sandbox::file_override>("/etc/hosts.deny", "ALL: ALL\n");
    hosts_ = std::make_unique<sandbox::file_override>("/etc/hosts", "127.0.0.1\tlocalhost\n");
    saved_timeout_ = identtimeout;
    saved_debug_ = debug;
    identtimeout = 0;
    debug = 1;
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(444);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(0, bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(listener_, 5));
  }
  void TearDown() override {
    if (listener_ >= 0) close(listener_);
    identtimeout = saved_timeout_;
    debug = saved_debug_;
  }

  // The exit status of a session child (bounded).
  static int status_of(pid_t pid) {
    int status = 0;
    if (!testsupport::wait_until([&] { return waitpid(pid, &status, WNOHANG) != 0; },
                                 std::chrono::seconds(20), std::chrono::milliseconds(5))) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  struct session {
    int status = -1;
    std::string received;
    std::string log;
  };

  // One connection from `from` served to its end; with `greeted` the
  // client says QUIT once greeted.
  session serve(const char* from, bool greeted) {
    session s;
    snpp_connection c("127.0.0.1", 444, from);
    EXPECT_TRUE(c.connected());
    testsupport::capture_fd err(2);
    pid_t pid = serve_connection(listener_, false);
    EXPECT_GT(pid, 0);
    if (greeted) {
      c.line();
      EXPECT_TRUE(c.send("QUIT\r\n"));
    }
    c.wait_closed();
    s.received = c.received();
    c.close();
    s.status = pid > 0 ? status_of(pid) : -1;
    s.log = err.finish();
    return s;
  }

  int listener_ = -1;

 private:
  std::unique_ptr<sandbox::file_override> allow_, deny_, hosts_;
  int saved_timeout_ = 0;
  int saved_debug_ = 0;
};

bool has_line(const std::string& log, const std::string& line) {
  return ("\n" + log).find("\n" + line + "\n") != std::string::npos;
}

TEST_F(Access, AllowedHostIsGreetedAndServed) {
  session s = serve("127.0.0.1", true);
  EXPECT_EQ(0u, s.received.rfind("220 Callvane v3.3 SNPP server ready at ", 0)) << s.received;
  EXPECT_NE(std::string::npos, s.received.find("\r\n221 ")) << s.received;
  EXPECT_EQ(0, s.status);
  EXPECT_TRUE(has_line(s.log, "connection from [anonymous]@localhost")) << s.log;
  EXPECT_TRUE(has_line(s.log, "disconnect from [anonymous]@localhost")) << s.log;
}

TEST_F(Access, HostWithoutANameIsShownByItsAddress) {
  session s = serve("127.0.0.2", true);
  EXPECT_EQ(0, s.status);
  EXPECT_TRUE(has_line(s.log, "connection from [anonymous]@[127.0.0.2]")) << s.log;
  EXPECT_TRUE(has_line(s.log, "disconnect from [anonymous]@[127.0.0.2]")) << s.log;
}

TEST_F(Access, HostNameTooLongForTheQueueIsShownByItsAddress) {
  sandbox::file_override hosts("/etc/hosts",
                               "127.0.0.1\tlocalhost\n127.0.0.2\t" + std::string(300, 'h') + "\n");
  session s = serve("127.0.0.2", true);
  EXPECT_TRUE(has_line(s.log, "connection from [anonymous]@[127.0.0.2]")) << s.log;
}

TEST_F(Access, RefusedHostGetsOnlyTheRefusal) {
  session s = serve("127.0.0.3", false);
  EXPECT_EQ(REFUSED, s.received);
  EXPECT_EQ(40u, s.received.size());
  EXPECT_EQ(2, s.status);
  EXPECT_TRUE(has_line(s.log, "connection refused from [anonymous]@[127.0.0.3]")) << s.log;
  EXPECT_EQ(std::string::npos, s.log.find("connection from")) << s.log;
}

TEST_F(Access, IdentUserIsLoggedAndMatchedByTheRules) {
  identtimeout = 2;
  {
    identpeer::scripted ident("answer", "1,444:USERID:UNIX:joe\r\n");
    session s = serve("127.0.0.1", true);
    EXPECT_EQ(0, s.status);
    EXPECT_TRUE(has_line(s.log, "connection from joe@localhost")) << s.log;
  }
  {
    // Only joe may come from 127.0.0.4.
    identpeer::scripted ident("answer", "1,444:USERID:UNIX:joe\r\n");
    session s = serve("127.0.0.4", true);
    EXPECT_EQ(0, s.status);
    EXPECT_TRUE(has_line(s.log, "connection from joe@[127.0.0.4]")) << s.log;
  }
  {
    identpeer::scripted ident("answer", "1,444:USERID:UNIX:bob\r\n");
    session s = serve("127.0.0.4", false);
    EXPECT_EQ(REFUSED, s.received);
    EXPECT_EQ(2, s.status);
    EXPECT_TRUE(has_line(s.log, "connection refused from bob@[127.0.0.4]")) << s.log;
  }
}

TEST_F(Access, NoIdentLimitMeansNoIdentQuestionFromAnyone) {
  // The rule for 127.0.0.4 needs a user name: the library would ask for
  // one itself if we let it.
  int ident = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int on = 1;
  setsockopt(ident, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(113);
  ASSERT_EQ(0, bind(ident, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(ident, 5));
  session s = serve("127.0.0.4", false);
  EXPECT_EQ(REFUSED, s.received);
  EXPECT_EQ(2, s.status);
  EXPECT_TRUE(has_line(s.log, "connection refused from [anonymous]@[127.0.0.4]")) << s.log;
  EXPECT_LT(accept(ident, nullptr, nullptr), 0);
  EXPECT_EQ(EAGAIN, errno);
  close(ident);
}

TEST_F(Access, SessionChildHasNoBlockedSignalsAndNoListener) {
  sigset_t block, saved;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGHUP);
  sigprocmask(SIG_BLOCK, &block, &saved);
  snpp_connection c("127.0.0.1", 444, "127.0.0.1");
  ASSERT_TRUE(c.connected());
  testsupport::capture_fd err(2);
  pid_t pid = serve_connection(listener_, false);
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  ASSERT_GT(pid, 0);
  c.line();  // the child now waits for a command

  std::string status = testsupport::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("SigBlk:");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ("SigBlk:\t0000000000000000", status.substr(at, 24));

  struct stat listening;
  ASSERT_EQ(0, fstat(listener_, &listening));
  std::set<std::string> sockets = testsupport::sockets_of(pid);
  EXPECT_EQ(0u, sockets.count("socket:[" + std::to_string(listening.st_ino) + "]"));
  EXPECT_GT(sockets.size(), 0u);  // the connection itself is there

  EXPECT_TRUE(c.send("QUIT\r\n"));
  c.wait_closed();
  c.close();
  EXPECT_EQ(0, status_of(pid));
  err.finish();
}

TEST_F(Access, SessionLimitRefusesWithoutAChildOrAnId) {
  snpp_connection c("127.0.0.1", 444, "127.0.0.1");
  ASSERT_TRUE(c.connected());
  std::string before = new_messageid();
  testsupport::capture_fd err(2);
  EXPECT_EQ(0, serve_connection(listener_, true));
  std::string log = err.finish();
  std::string after = new_messageid();
  EXPECT_EQ("421 Too many connections, try again later\r\n", c.rest());
  c.close();
  EXPECT_EQ((std::stoi(before.substr(4)) + 1) % 1000, std::stoi(after.substr(4)));
  EXPECT_TRUE(has_line(log, "too many sessions, connection refused from [127.0.0.1]")) << log;
  EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));  // no child was made
}

TEST_F(Access, EachConnectionTakesTheNextId) {
  snpp_connection c("127.0.0.1", 444, "127.0.0.3");
  ASSERT_TRUE(c.connected());
  std::string before = new_messageid();
  testsupport::capture_fd err(2);
  pid_t pid = serve_connection(listener_, false);
  ASSERT_GT(pid, 0);
  c.wait_closed();
  c.close();
  EXPECT_EQ(2, status_of(pid));
  err.finish();
  std::string after = new_messageid();
  EXPECT_EQ((std::stoi(before.substr(4)) + 2) % 1000, std::stoi(after.substr(4)));
}

void no_op(int) {}

TEST_F(Access, InterruptedAcceptIsQuiet) {
  struct sigaction sa {
  }, saved{};
  sa.sa_handler = no_op;  // without SA_RESTART, so that accept gives EINTR
  sigaction(SIGUSR2, &sa, &saved);
  pid_t parent = getpid();
  pid_t kicker = fork();
  ASSERT_GE(kicker, 0);
  if (kicker == 0) {
    usleep(200 * 1000);
    kill(parent, SIGUSR2);
    _exit(0);
  }
  testsupport::capture_fd err(2);
  EXPECT_EQ(0, serve_connection(listener_, false));
  EXPECT_EQ("", err.finish());
  waitpid(kicker, nullptr, 0);
  sigaction(SIGUSR2, &saved, nullptr);
}

TEST_F(Access, NothingToAcceptIsQuiet) {
  // A client that left before the daemon came leaves a non-blocking
  // listener with nothing to accept: no failure to report.
  fcntl(listener_, F_SETFL, O_NONBLOCK);
  testsupport::capture_fd err(2);
  EXPECT_EQ(0, serve_connection(listener_, false));
  EXPECT_EQ("", err.finish());
}

TEST_F(Access, FailedAcceptIsLogged) {
  testsupport::capture_fd err(2);
  EXPECT_EQ(0, serve_connection(-1, false));
  EXPECT_EQ("accept() failed: Bad file descriptor\n", err.finish());
}

}  // namespace
