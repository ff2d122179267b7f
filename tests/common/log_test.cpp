// Logging: the terminal and system log routes of every level and mode.
#include "common/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/settings.h"
#include "support/support.h"

namespace callvane {
namespace {

using testsupport::capture_fd;

// Runs logmsg with the given settings and returns what reached the terminal.
struct terminal_output {
  std::string out, err;
};

class LogTerminal : public ::testing::Test {
 protected:
  void TearDown() override {
    debug = 0;
    interactive = false;
  }

  template <typename F>
  terminal_output capture(F&& f) {
    capture_fd out(STDOUT_FILENO);
    capture_fd err(STDERR_FILENO);
    f();
    terminal_output t;
    t.err = err.finish();
    t.out = out.finish();
    return t;
  }
};

TEST_F(LogTerminal, DebugSendsEveryLevelToStandardError) {
  debug = 1;
  auto t = capture([] {
    logmsg(LOG_ERR, "cannot open %s: %s", "/dev/cuaa0", "busy");
    logmsg(LOG_DEBUG, "step %d", 3);
    logmsg(LOG_ALERT, "alert line");
  });
  EXPECT_EQ("cannot open /dev/cuaa0: busy\nstep 3\nalert line\n", t.err);
  EXPECT_EQ("", t.out);
}

TEST_F(LogTerminal, InteractiveSendsEveryLevelToStandardOutput) {
  interactive = true;
  auto t = capture([] {
    for (int level : {LOG_ERR, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG})
      logmsg(level, "level %d", level);
  });
  EXPECT_EQ("level 3\nlevel 4\nlevel 5\nlevel 6\nlevel 7\n", t.out);
  EXPECT_EQ("", t.err);
  EXPECT_TRUE(interactive);
}

TEST_F(LogTerminal, AlertWithInteractiveAndDebugGoesToStandardError) {
  interactive = true;
  debug = 2;
  auto t = capture([] {
    logmsg(LOG_ALERT, "to the log %s", "file");
    logmsg(LOG_INFO, "to the user");
  });
  EXPECT_EQ("to the log file\n", t.err);
  EXPECT_EQ("to the user\n", t.out);
  // The setting is only suspended for the one call.
  EXPECT_TRUE(interactive);
}

TEST_F(LogTerminal, LongLinesAreNotCut) {
  debug = 1;
  std::string long_text(3000, 'z');
  auto t = capture([&] { logmsg(LOG_INFO, "<%s>", long_text.c_str()); });
  EXPECT_EQ("<" + long_text + ">\n", t.err);
}

TEST_F(LogTerminal, NothingIsAddedToTheLine) {
  debug = 1;
  auto t = capture([] { logmsg(LOG_NOTICE, "%s", ""); });
  EXPECT_EQ("\n", t.err);
}

// The system log route. A forked child gets a private mount namespace with
// a fresh /dev holding only a datagram socket at /dev/log, so the host's
// logging is never touched; the child reports what arrived in a file.
struct syslog_capture {
  bool ok = false;
  std::string why;
  pid_t child_pid = 0;
  std::vector<std::string> datagrams;
  std::string terminal;  // what the child wrote to stdout and stderr
};

syslog_capture log_in_namespace(void (*body)()) {
  syslog_capture result;
  testsupport::temp_dir dir;
  const std::string report = dir.file("report");
  auto child = testsupport::in_child([&] {
    std::ofstream out(report, std::ios::binary);
    auto fail = [&](const char* what) {
      out << "E" << what << ": " << strerror(errno) << "\n";
      return 1;
    };
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("private");
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) return fail("tmpfs");
    int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, "/dev/log");
    if (bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
    open_system_log();
    body();
    out << "P" << getpid() << "\n";
    char buf[2048];
    for (ssize_t n; (n = recv(sock, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      out << "D" << std::string(buf, static_cast<size_t>(n)) << "\n";
    return 0;
  });
  result.terminal = child.out + child.err;
  std::istringstream lines(testsupport::read_file(report));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (line[0] == 'E') result.why = line.substr(1);
    if (line[0] == 'P') {
      result.ok = true;
      result.child_pid = std::stoi(line.substr(1));
    }
    if (line[0] == 'D') result.datagrams.push_back(line.substr(1));
  }
  return result;
}

// "<pri>" + time stamp + "callvane[pid]: text", as the C library sends it.
bool is_log_line(const std::string& datagram, int priority, pid_t pid, const std::string& text) {
  std::string head = "<" + std::to_string(priority) + ">";
  std::string tail = "callvane[" + std::to_string(pid) + "]: " + text;
  return datagram.rfind(head, 0) == 0 && datagram.size() >= tail.size() &&
         datagram.compare(datagram.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(LogSystemLog, WithoutTerminalModesEveryLevelReachesTheSystemLog) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  auto r = log_in_namespace([] {
    debug = 0;
    interactive = false;
    logmsg(LOG_DEBUG, "debug %d", 7);
    logmsg(LOG_ERR, "error %s", "text");
    logmsg(LOG_ALERT, "alert");
  });
  ASSERT_TRUE(r.ok) << r.why;
  ASSERT_EQ(3u, r.datagrams.size());
  // Facility daemon (3 << 3) plus the level; LOG_ALERT becomes LOG_INFO.
  EXPECT_TRUE(is_log_line(r.datagrams[0], 24 + 7, r.child_pid, "debug 7")) << r.datagrams[0];
  EXPECT_TRUE(is_log_line(r.datagrams[1], 24 + 3, r.child_pid, "error text")) << r.datagrams[1];
  EXPECT_TRUE(is_log_line(r.datagrams[2], 24 + 6, r.child_pid, "alert")) << r.datagrams[2];
  EXPECT_EQ("", r.terminal);
}

TEST(LogSystemLog, DebugKeepsLinesOutOfTheSystemLog) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  auto r = log_in_namespace([] {
    debug = 1;
    interactive = false;
    logmsg(LOG_ERR, "only on stderr");
    logmsg(LOG_ALERT, "alert on stderr too");
  });
  ASSERT_TRUE(r.ok) << r.why;
  EXPECT_TRUE(r.datagrams.empty());
  EXPECT_EQ("only on stderr\nalert on stderr too\n", r.terminal);
}

TEST(LogSystemLog, InteractiveAlertGoesToTheSystemLogAtInfo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  auto r = log_in_namespace([] {
    debug = 0;
    interactive = true;
    logmsg(LOG_NOTICE, "for the user");
    logmsg(LOG_ALERT, "for the log %d", 42);
  });
  ASSERT_TRUE(r.ok) << r.why;
  ASSERT_EQ(1u, r.datagrams.size());
  EXPECT_TRUE(is_log_line(r.datagrams[0], 24 + 6, r.child_pid, "for the log 42")) << r.datagrams[0];
  EXPECT_EQ("for the user\n", r.terminal);
}

}  // namespace
}  // namespace callvane
