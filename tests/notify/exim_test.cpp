// Reports handed to the real system mailer (exim) and read from the mailbox.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/privilege.h"
#include "common/settings.h"
#include "common/signals.h"
#include "config/config.h"
#include "notify/report.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace callvane {
namespace {

constexpr const char* EXIM = "/usr/sbin/exim4";
constexpr const char* MAILBOXES = "/var/mail";

// An empty tmpfs over `path`, in this process's mount namespace only, so
// that exim's queue, logs and the delivered mailbox never touch the host.
class scratch_mount {
 public:
  scratch_mount(const std::string& path, const std::string& options) : path_(path) {
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0)
      throw std::runtime_error("tmpfs on " + path + ": " + strerror(errno));
  }
  ~scratch_mount() { umount2(path_.c_str(), MNT_DETACH); }
  scratch_mount(const scratch_mount&) = delete;
  scratch_mount& operator=(const scratch_mount&) = delete;

 private:
  std::string path_;
};

std::string owner_options(const char* user, const char* group, const char* mode) {
  struct passwd* pw = user ? getpwnam(user) : nullptr;
  struct group* gr = getgrnam(group);
  if ((user && pw == nullptr) || gr == nullptr)
    throw std::runtime_error(std::string("no user or group ") + (user ? user : "") + "/" + group);
  std::string opts = std::string("mode=") + mode + ",gid=" + std::to_string(gr->gr_gid);
  if (pw) opts += ",uid=" + std::to_string(pw->pw_uid);
  return opts;
}

std::string link_of(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// exim processes in this mount namespace: the mailer's delivery goes on in
// the background after the mailer itself has ended.
std::vector<pid_t> exim_processes() {
  std::vector<pid_t> pids;
  std::string here = link_of("/proc/self/ns/mnt");
  if (DIR* d = opendir("/proc")) {
    while (struct dirent* e = readdir(d)) {
      if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
      std::string dir = std::string("/proc/") + e->d_name;
      if (link_of(dir + "/exe") == EXIM && link_of(dir + "/ns/mnt") == here)
        pids.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    closedir(d);
  }
  return pids;
}

// The scratch mounts must outlive every exim process that may still write
// below them; otherwise its last writes would reach the host's own files.
void wait_for_exim() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::vector<pid_t> left;
  while (!(left = exim_processes()).empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (pid_t pid : left) kill(pid, SIGKILL);
  while (!exim_processes().empty() &&
         std::chrono::steady_clock::now() < deadline + std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// Everything delivered so far, all mailboxes together.
std::string delivered() {
  std::string all;
  if (DIR* d = opendir(MAILBOXES)) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.')
        all += testsupport::read_file(std::string(MAILBOXES) + "/" + e->d_name);
    closedir(d);
  }
  return all;
}

// The header line that starts with `name`, without its newline.
std::string header(const std::string& mail, const std::string& name) {
  size_t at = mail.find("\n" + name);
  if (at == std::string::npos) return "";
  return mail.substr(at + 1, mail.find('\n', at + 1) - at - 1);
}

struct exim_case {
  const char* name;
  bool admin;
  const char* to;
  const char* subject;
};

void PrintTo(const exim_case& c, std::ostream* os) { *os << c.name; }

class RealMailer : public ::testing::TestWithParam<exim_case> {
 protected:
  void SetUp() override {
    if (access(EXIM, X_OK) != 0) GTEST_SKIP() << "exim4 is not installed";
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mounts";
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << why;
    mailboxes_.emplace(MAILBOXES, owner_options(nullptr, "mail", "2775"));
    spool_.emplace("/var/spool/exim4", owner_options("Debian-exim", "Debian-exim", "0750"));
    logs_.emplace("/var/log/exim4", owner_options("Debian-exim", "adm", "2750"));
  }
  void TearDown() override {
    administrator.reset();
    if (mailboxes_) wait_for_exim();
    logs_.reset();
    spool_.reset();
    mailboxes_.reset();
  }
  std::optional<scratch_mount> mailboxes_, spool_, logs_;
};

TEST_P(RealMailer, DeliversTheReportToALocalMailbox) {
  const exim_case& c = GetParam();
  testsupport::time_zone utc("UTC");
  page p;
  p.created = testsupport::utc(2024, 3, 5, 14, 7, 9);
  p.messageid = "Ab3x001";
  p.from = "root";  // mail to root lands in a local mailbox on Debian
  p.message = "Disk full on db1";
  rcpt r;
  r.pager = "bob";
  r.flags = c.admin ? F_FAILED : F_SENT | F_SENDMAIL;
  p.rcpts.push_back(r);
  if (c.admin) administrator = "root";

  // As a queue runner does it: handlers installed, root given up.
  auto child = testsupport::in_child([&p, &c] {
    debug = 1;
    install_signal_handlers();
    drop_root();
    if (c.admin)
      notify_admin(p);
    else
      notify_sender(p);
    return 0;
  });
  ASSERT_EQ(0, child.status) << child.err;

  std::string report = c.admin ? admin_report(p) : sender_report(p, "root");
  // The body as the mailer keeps it: up to the line holding only a dot.
  std::string body = report.substr(report.find("\n\n") + 2);
  body.resize(body.size() - 2);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string mail;
  while ((mail = delivered()).find(body) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(std::string::npos, mail.find(body))
      << "mailbox:\n"
      << mail << "\nexim log:\n"
      << testsupport::read_file("/var/log/exim4/mainlog")
      << testsupport::read_file("/var/log/exim4/paniclog") << "\nlog:\n"
      << child.err;

  EXPECT_EQ("Return-path: <>", header(mail, "Return-path:"));
  // exim qualifies bare local names with its own domain.
  std::string from = header(mail, "From:");
  EXPECT_TRUE(from.starts_with("From: Callvane Daemon <uucp") && from.ends_with(">")) << from;
  std::string to = header(mail, "To:");
  EXPECT_TRUE(to.starts_with(c.to) && to.ends_with(">")) << to;
  EXPECT_EQ(c.subject, header(mail, "Subject:"));
  // One message, from the empty envelope sender.
  EXPECT_TRUE(mail.starts_with("From MAILER-DAEMON ")) << mail;
  EXPECT_EQ(std::string::npos, mail.find("\nFrom MAILER-DAEMON "));
}

INSTANTIATE_TEST_SUITE_P(Reports, RealMailer,
                         ::testing::Values(exim_case{"Admin", true,
                                                     "To: Callvane Administrator <root",
                                                     "Subject: A page has failed."},
                                           exim_case{"Sender", false, "To: Callvane User <root",
                                                     "Subject: The status of your page"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace callvane
