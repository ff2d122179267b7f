// The user a real ident server names reaches the log, CALLerid and the queue.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/daemon_run.h"
#include "support/ident_peer.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace {

using namespace testsupport;

// Talks to the daemon as the user `uid`; the exit status names the first
// reply that was not the expected one (0: all were).
int page_as(uid_t uid, gid_t gid) {
  if (setgid(gid) != 0 || setuid(uid) != 0) return 90;
  snpp_connection c;
  if (!c.connected()) return 91;
  auto greeting = c.line();
  if (!greeting || greeting->rfind("220 ", 0) != 0) return 92;
  const std::pair<const char*, const char*> steps[] = {
      {"CALLerid root", "250 You're a liar, but I'll trust you this time"},
      {"CALLerid NOBODY", "250 Caller ID accepted"},
      {"PAGEr alice", "250 Pager ID accepted, message will not be delayed"},
      {"MESSage who am I", "250 Message ok"},
      {"SEND", "250 Message "},
      {"QUIT", "221 OK, goodbye"},
  };
  int step = 1;
  for (const auto& [command, reply] : steps) {
    if (!c.send(std::string(command) + "\r\n")) return 93;
    auto line = c.line();
    if (!line || line->rfind(reply, 0) != 0) return step;
    step++;
  }
  return 0;
}

TEST(DaemonIdent, RealIdentUserIsLoggedComparedAndQueued) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  std::string why;
  if (!sandbox::enter(why)) GTEST_SKIP() << why;
  struct passwd* pw = getpwnam("nobody");
  if (pw == nullptr) GTEST_SKIP() << "no user nobody";
  identpeer::oidentd ident;
  if (!ident.running(why)) GTEST_SKIP() << why;

  daemon_setup setup;
  // A negative interval: the page stays in the queue to be looked at.
  daemon_process daemon(setup.write_config("identtimeout=5\npager=alice pagerid=1234567\n"), -1);
  ASSERT_TRUE(daemon.wait_for_log("waiting for incoming connections")) << daemon.log();

  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  child_result r = in_child([uid, gid] { return page_as(uid, gid); });
  EXPECT_EQ(0, r.status) << r.err << daemon.log();

  ASSERT_TRUE(daemon.wait_for_log("disconnect from nobody@")) << daemon.log();
  EXPECT_EQ(1u, daemon.count_in_log("connection from nobody@")) << daemon.log();
  auto names = setup.spool_files("P");
  ASSERT_EQ(1u, names.size());
  std::string file = read_file(setup.spool() + "/" + names[0]);
  EXPECT_NE(std::string::npos, file.find("\nFrom: NOBODY\n")) << file;
  EXPECT_NE(std::string::npos, file.find("\nIdent: nobody\n")) << file;
  EXPECT_EQ(0, daemon.stop());
}

}  // namespace
