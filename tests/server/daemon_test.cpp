// The daemon from outside: start-up, detachment, pid file, signals, port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/support.h"

namespace {

using namespace testsupport;

const char GREETING[] = "220 Callvane v3.3 SNPP server ready at ";
const char QUEUE_RUN[] = "processing the page queue";

bool greets(int port = 444) {
  snpp_connection c(port);
  auto line = c.line();
  return line && line->rfind(GREETING, 0) == 0;
}

using DaemonTest = sandboxed_daemon;

TEST_F(DaemonTest, ForegroundDaemonDropsRootWritesItsPidAndEndsOnTerm) {
  daemon_process d(setup_.write_config(), -1);
  EXPECT_EQ(
      "giving up root privileges\n"
      "becoming user 'uucp'\n"
      "waiting for incoming connections\n",
      d.log());
  EXPECT_EQ("10 10 10 10", proc_status(d.pid(), "Uid"));
  EXPECT_EQ("10 10 10 10", proc_status(d.pid(), "Gid"));
  EXPECT_EQ(std::to_string(d.pid()) + "\n", read_file(setup_.pidfile()));
  struct stat st;
  ASSERT_EQ(0, stat(setup_.pidfile().c_str(), &st));
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);
  EXPECT_EQ(10u, st.st_uid);
  // Written through a temporary that was renamed: nothing else is left.
  struct stat spare;
  EXPECT_NE(0, stat((setup_.pidfile() + "." + std::to_string(d.pid()) + ".tmp").c_str(), &spare));
  EXPECT_TRUE(greets());
  // Its session logs to the same terminal; let it finish first.
  ASSERT_TRUE(wait_for_children(d.pid(), 0));

  EXPECT_EQ(0, d.stop());
  EXPECT_TRUE(d.log().ends_with("caught SIGTERM, exiting...\n")) << d.log();
  EXPECT_TRUE(file_exists(setup_.pidfile())) << "the pid file is never removed";
}

TEST_F(DaemonTest, DetachedDaemonIsFoundByItsPidFile) {
  daemon_process d(setup_.write_config(), -1, false);
  pid_t pid = d.pid();
  EXPECT_EQ("10 10 10 10", proc_status(pid, "Uid"));
  // Not a session leader, no terminal, standard streams on /dev/null.
  std::string stat_text = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat_text.substr(stat_text.rfind(')') + 2));
  std::string state, ppid, pgrp, session, tty;
  fields >> state >> ppid >> pgrp >> session >> tty;
  EXPECT_NE(std::to_string(pid), session);
  EXPECT_NE(std::to_string(getsid(0)), session);
  EXPECT_EQ("0", tty);
  for (int fd = 0; fd <= 2; fd++) {
    char target[256] = {};
    std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << fd;
    EXPECT_STREQ("/dev/null", target) << fd;
  }
  EXPECT_TRUE(greets());
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonTest, HangupRereadsTheConfigurationAndKeepsServingAfterErrors) {
  std::string config = setup_.write_config();
  daemon_process d(config, -1);
  {
    snpp_connection c;
    c.send("XWHO\r\nQUIT\r\n");
    c.wait_closed();
    EXPECT_EQ(std::string::npos, c.received().find("214 bob")) << c.received();
  }
  setup_.write_config("pager=bob pagerid=42 text=Bob_on_call\n");
  d.signal(SIGHUP);
  ASSERT_TRUE(d.wait_for_log("rereading configuration")) << d.log();
  {
    snpp_connection c;
    c.send("XWHO\r\nQUIT\r\n");
    c.wait_closed();
    EXPECT_NE(std::string::npos, c.received().find("214 bob Bob on call\r\n")) << c.received();
  }

  setup_.write_config("modem=broken\n");
  d.signal(SIGHUP);
  ASSERT_TRUE(d.wait_for_log("new configuration has errors")) << d.log();
  EXPECT_EQ(2u, d.count_in_log("rereading configuration"));
  EXPECT_TRUE(greets());
  EXPECT_EQ(0, d.stop());
}

TEST_F(DaemonTest, Usr1StartsAQueueRunAtOnce) {
  daemon_process d(setup_.write_config(), 3600);
  EXPECT_EQ(0u, d.count_in_log(QUEUE_RUN)) << "the first run waits for the first wait to end";
  for (size_t run = 1; run <= 2; run++) {
    d.signal(SIGUSR1);
    ASSERT_TRUE(d.wait_for_log(QUEUE_RUN, run)) << d.log();
    ASSERT_TRUE(wait_for_children(d.pid(), 0)) << "the queue child ends";
  }
  // The empty run took the queue lock in the spool and gave it back.
  EXPECT_EQ(0, d.stop());
  EXPECT_EQ(2u, d.count_in_log(QUEUE_RUN));
}

TEST_F(DaemonTest, NegativeIntervalNeverRunsTheQueue) {
  daemon_process d(setup_.write_config(), -1);
  d.signal(SIGUSR1);
  d.signal(SIGHUP);
  ASSERT_TRUE(d.wait_for_log("rereading configuration", 1));
  // A second pass of the loop after the one that saw the request.
  d.signal(SIGHUP);
  ASSERT_TRUE(d.wait_for_log("rereading configuration", 2));
  EXPECT_EQ(0u, d.count_in_log(QUEUE_RUN)) << d.log();
  EXPECT_TRUE(children_of(d.pid()).empty());
}

TEST_F(DaemonTest, AnIntervalRunsTheQueueAgainAndAgain) {
  daemon_process d(setup_.write_config(), 1);
  EXPECT_TRUE(d.wait_for_log(QUEUE_RUN, 3)) << d.log();
}

TEST_F(DaemonTest, ThePortComesFromTheFirstArgument) {
  // 67980 cut to 16 bits is 2444.
  daemon_process d(setup_.write_config(), -1, true, {"67980"});
  EXPECT_TRUE(greets(2444));
  snpp_connection other(444);
  EXPECT_FALSE(other.connected());
}

TEST_F(DaemonTest, APortInUseEndsTheStart) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(444);
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(fd, 1));
  auto r = run_callvane({"-d", "-q", "60", "-C", setup_.write_config()});
  close(fd);
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("bind() failed: Address already in use\n", r.err);
  EXPECT_FALSE(file_exists(setup_.pidfile()));
}

TEST_F(DaemonTest, AConfigurationWithErrorsEndsTheStart) {
  auto r = run_callvane({"-d", "-q", "60", "-C", setup_.write_config("modem=broken\n")});
  EXPECT_EQ(255, r.status);
  // Read with the privileges of uucp already.
  EXPECT_EQ(0u, r.err.find("giving up root privileges\nbecoming user 'uucp'\n")) << r.err;
  EXPECT_TRUE(r.err.ends_with("\nError reading configuration file\n")) << r.err;
  EXPECT_FALSE(file_exists(setup_.pidfile()));
}

TEST_F(DaemonTest, WithoutRootALowPortGivesTheWarningAndFails) {
  auto r = run({"/usr/bin/setpriv", "--reuid=10", "--regid=10", "--clear-groups", callvane_path(),
                "-d", "-q", "60", "-C", setup_.write_config()});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("Warning: daemon must be started as root\nbind() failed: Permission denied\n", r.err);
}

TEST_F(DaemonTest, WithoutRootAHighPortKeepsItsIdentityQuietly) {
  daemon_setup setup;
  // The same user that will run it owns the run's files.
  std::string config = setup.write_config();
  chown(config.c_str(), 10, 10);
  testsupport::run_options opts;
  opts.limit = std::chrono::seconds(5);
  auto r = run({"/usr/bin/setpriv", "--reuid=10", "--regid=10", "--clear-groups", callvane_path(),
                "-d", "-q", "-1", "-C", config, "2444"},
               opts);
  EXPECT_TRUE(r.timed_out) << "it ran until stopped: " << r.err;
  EXPECT_EQ("waiting for incoming connections\n", r.err);
}

TEST_F(DaemonTest, APidFileInADirectoryUucpCannotWriteIsOverwritten) {
  std::string run_dir = setup_.dir().file("run");
  ASSERT_EQ(0, mkdir(run_dir.c_str(), 0755));
  std::string pidfile = setup_.dir().write("run/callvane.pid", "1234567890 from an older run\n");
  ASSERT_EQ(0, chown(pidfile.c_str(), 10, 10));
  daemon_process d(setup_.write_config("pidfile=" + pidfile + "\n"), -1);
  EXPECT_EQ(std::to_string(d.pid()) + "\n", read_file(pidfile));
}

}  // namespace
