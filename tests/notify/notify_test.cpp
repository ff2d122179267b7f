// The notifiers against a stand-in for the system mailer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "common/privilege.h"
#include "common/settings.h"
#include "common/signals.h"
#include "config/config.h"
#include "mailer_standin.h"
#include "notify/report.h"
#include "support/sandbox.h"
#include "support/support.h"
#include "support/wait.h"

namespace callvane {
namespace {

using notifytest::mailer_standin;
using notifytest::standin_mode;
using testsupport::capture_fd;
using testsupport::in_child;

const std::string ARGV_PREFIX("sendmail\0-f\0<>\0", 15);

page make_page(std::initializer_list<std::pair<const char*, uint32_t>> rcpts) {
  page p;
  p.created = testsupport::utc(2024, 3, 5, 14, 7, 9);
  p.messageid = "Ab3x001";
  p.from = "alice";
  p.hostname = "client.example.org";
  p.message = "Disk full on db1";
  for (const auto& [name, flags] : rcpts) {
    rcpt r;
    r.pager = name;
    r.flags = flags;
    p.rcpts.push_back(r);
  }
  return p;
}

// True when this process has no child at all, running or ended.
bool no_children() {
  siginfo_t info;
  return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno == ECHILD;
}

class Notify : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << why;
    administrator = "pager-admin@example.org";
    forcehostname.reset();
    sigfile.reset();
    debug = 1;
  }
  void TearDown() override {
    administrator.reset();
    forcehostname.reset();
    debug = 0;
  }
};

TEST_F(Notify, AdminMailReachesTheMailerOnceWithExactArguments) {
  mailer_standin mailer(standin_mode::record);
  page p = make_page({{"bob", F_FAILED}, {"carol", F_BUSY}, {"dave", F_FAILED | F_SENTADMIN}});
  capture_fd err(2);
  notify_admin(p);
  ASSERT_TRUE(mailer_standin::reap_children());
  notifytest::standin_record got = mailer.record();
  ASSERT_TRUE(got.ran);
  EXPECT_EQ(ARGV_PREFIX + std::string("pager-admin@example.org\0", 24), got.argv);
  EXPECT_EQ(admin_report(p), got.input);
  EXPECT_TRUE(got.input.ends_with("\n.\n"));
  EXPECT_EQ(F_FAILED | F_SENTADMIN, p.rcpts.front().flags);
  EXPECT_EQ(F_BUSY, (++p.rcpts.begin())->flags);

  // Nothing new has failed: no mailer is started at all.
  notify_admin(p);
  EXPECT_TRUE(no_children());
  EXPECT_EQ(
      "notifying administrator of failed page id=Ab3x001\n"
      "no failed pages for id=Ab3x001\n",
      err.finish());
}

TEST_F(Notify, StatusMailOnlyForFinishedRecipientsThatAskedOnce) {
  mailer_standin mailer(standin_mode::record);
  forcehostname = "@example.org";
  page p = make_page({{"bob", F_SENT}, {"carol", F_SENDMAIL}});
  capture_fd err(2);
  notify_sender(p);  // bob did not ask, carol is not finished
  EXPECT_TRUE(no_children());
  p.rcpts.back().flags |= F_FAILED;
  notify_sender(p);
  ASSERT_TRUE(mailer_standin::reap_children());
  notify_sender(p);
  EXPECT_TRUE(no_children());
  EXPECT_EQ(
      "no e-mail to send for id=Ab3x001\n"
      "sending e-mail status for id=Ab3x001\n"
      "no e-mail to send for id=Ab3x001\n",
      err.finish());
  notifytest::standin_record got = mailer.record();
  EXPECT_EQ(ARGV_PREFIX + std::string("alice@example.org\0", 18), got.argv);
  EXPECT_EQ(sender_report(p, "alice@example.org"), got.input);
  EXPECT_EQ(F_SENT, p.rcpts.front().flags);
  EXPECT_EQ(F_SENDMAIL | F_FAILED | F_SENTMAIL, p.rcpts.back().flags);
}

TEST_F(Notify, WithoutDebugTheQuietCaseLogsNothing) {
  mailer_standin mailer(standin_mode::record);
  debug = 0;
  interactive = true;  // log lines to standard output, where they can be seen
  page p = make_page({{"bob", F_SENT}});
  capture_fd out(1);
  notify_admin(p);
  notify_sender(p);
  interactive = false;
  EXPECT_EQ("", out.finish());
}

TEST_F(Notify, MailerRunsAsTheCallerAndStartsClean) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become uucp";
  mailer_standin mailer(standin_mode::record);
  auto r = in_child([] {
    drop_root();
    // What a queue runner may hold: open queue files and locks, an ignored
    // SIGPIPE, a blocked signal.
    int held[] = {open("/dev/null", O_RDONLY), open("/proc/self/stat", O_RDONLY), dup(2)};
    for (int fd : held)
      if (fd < 3) return 10;
    signal(SIGPIPE, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);
    page p = make_page({{"bob", F_FAILED}});
    notify_admin(p);
    return mailer_standin::reap_children() ? 0 : 11;
  });
  ASSERT_EQ(0, r.status) << r.err;
  notifytest::standin_record got = mailer.record();
  EXPECT_EQ("10 10", got.ids);
  EXPECT_EQ("0 1 2", got.fds);
  EXPECT_EQ("SIGPIPE=default mask=empty", got.signals);
}

// A queue runner started without standard input gets the pipe as its
// descriptor 0; the mailer must still read the message there.
TEST_F(Notify, MailerReadsTheMessageWhenTheCallerHadNoStandardInput) {
  mailer_standin mailer(standin_mode::record);
  auto r = in_child([] {
    close(STDIN_FILENO);
    page p = make_page({{"bob", F_FAILED}});
    notify_admin(p);
    return mailer_standin::reap_children() ? 0 : 12;
  });
  ASSERT_EQ(0, r.status) << r.err;
  notifytest::standin_record got = mailer.record();
  EXPECT_TRUE(got.input.starts_with("From: Callvane Daemon <")) << got.input;
  EXPECT_TRUE(got.input.ends_with("\n.\n"));
  EXPECT_EQ("0 1 2", got.fds);
}

struct unsafe_case {
  const char* name;
  bool admin;  // else the sender's report
  std::string address;
};

void PrintTo(const unsafe_case& c, std::ostream* os) { *os << c.name; }

class UnsafeAddress : public Notify, public ::testing::WithParamInterface<unsafe_case> {};

TEST_P(UnsafeAddress, NeverReachesTheMailer) {
  const unsafe_case& c = GetParam();
  mailer_standin mailer(standin_mode::record);
  page p = make_page({{"bob", F_FAILED | F_SENDMAIL}});
  capture_fd err(2);
  if (c.admin) {
    administrator = c.address;
    notify_admin(p);
  } else {
    p.from = c.address;
    notify_sender(p);
  }
  std::string log = err.finish();
  EXPECT_TRUE(no_children()) << "a mailer was started";
  EXPECT_NE(std::string::npos, log.find("refusing unsafe mail address")) << log;
  EXPECT_NE(std::string::npos, log.find("id=Ab3x001")) << log;
  // Marked as reported, so that the next run does not try again.
  EXPECT_NE(0u, p.rcpts.front().flags & (c.admin ? F_SENTADMIN : F_SENTMAIL));
}

INSTANTIATE_TEST_SUITE_P(Table, UnsafeAddress,
                         ::testing::Values(unsafe_case{"AdminOption", true, "-bt"},
                                           unsafe_case{"AdminNewline", true, "root\nBcc: x"},
                                           unsafe_case{"AdminDelete", true, "root\x7f"},
                                           unsafe_case{"SenderOption", false, "-X/tmp/log"},
                                           unsafe_case{"SenderTab", false, "al\tice"},
                                           unsafe_case{"SenderEmpty", false, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Notify, UnsafeHostNameFromForcehostnameIsRefused) {
  mailer_standin mailer(standin_mode::record);
  forcehostname = "true";
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  p.hostname = "evil\r\nhost";
  capture_fd err(2);
  notify_sender(p);
  EXPECT_TRUE(no_children());
  EXPECT_NE(std::string::npos, err.finish().find("refusing unsafe mail address"));
}

// A report too big for the pipe, so that writing really meets a closed end.
page big_page() {
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  p.message = testsupport::short_words(300 * 1024);
  return p;
}

TEST_F(Notify, MailerThatQuitsAtOnceDoesNotEndTheRun) {
  mailer_standin mailer(standin_mode::quit);
  auto r = in_child([] {
    signal(SIGPIPE, SIG_DFL);
    page p = big_page();
    notify_sender(p);
    // The caller goes on, and SIGPIPE is neither blocked nor pending now.
    sigset_t mask, pending;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    sigpending(&pending);
    if (sigismember(&mask, SIGPIPE) || sigismember(&pending, SIGPIPE)) return 20;
    if ((p.rcpts.front().flags & F_SENTMAIL) == 0) return 21;
    return mailer_standin::reap_children() ? 0 : 22;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("e-mail to <alice> not sent: the mailer stopped reading"))
      << r.err;
}

// With the program's own SIGCHLD handler in place, no mailer is left behind
// as a zombie, whether it read everything or quit early.
TEST_F(Notify, NoZombieIsLeft) {
  for (standin_mode mode : {standin_mode::record, standin_mode::quit}) {
    mailer_standin mailer(mode);
    auto r = in_child([] {
      install_signal_handlers();
      page p = big_page();
      notify_sender(p);
      bool none = testsupport::wait_until([] { return notifytest::child_pids().empty(); },
                                          std::chrono::seconds(10));
      return none ? 0 : 30;
    });
    EXPECT_EQ(0, r.status) << r.err;
  }
}

TEST_F(Notify, MailerThatNeverReadsIsGivenUpAndKilled) {
  mailer_standin mailer(standin_mode::hang);
  auto r = in_child([] {
    std::unique_ptr<mail_process> m = open_mailer("alice");
    if (!m) return 40;
    if (m->send(std::string(256 * 1024, 'x'), std::chrono::milliseconds(300))) return 41;
    int status = 0;
    if (waitpid(m->pid(), &status, 0) != m->pid()) return 42;
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL ? 0 : 43;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find("e-mail to <alice> not sent: the mailer did not take it within 300 ms"))
      << r.err;
}

TEST_F(Notify, AfterOneHungMailerTheNextWaitsLess) {
  mailer_standin mailer(standin_mode::hang);
  auto r = in_child([] {
    for (int i = 0; i < 2; i++) {
      std::unique_ptr<mail_process> m = open_mailer("alice");
      if (!m) return 60;
      if (m->send(std::string(256 * 1024, 'x'), std::chrono::milliseconds(i == 0 ? 300 : 60000)))
        return 61;
    }
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("within 300 ms\n")) << r.err;
  EXPECT_NE(std::string::npos,
            r.err.find("within " + std::to_string(MAILER_WRITE_LIMIT_AFTER_HANG.count()) + " ms\n"))
      << r.err;
}

TEST_F(Notify, MailerThatCannotBeExecutedIsLogged) {
  sandbox::file_override not_a_program(MAILER_PATH, "");
  auto r = in_child([] {
    std::unique_ptr<mail_process> m = open_mailer("alice");
    if (!m) return 50;
    int status = 0;
    if (waitpid(m->pid(), &status, 0) != m->pid()) return 51;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 52;
  });
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("exec(/usr/sbin/sendmail) failed: Permission denied\n", r.err);
}

}  // namespace
}  // namespace callvane
