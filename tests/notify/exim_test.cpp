// Reports handed to the real system mailer (exim) and read from the mailbox.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/privilege.h"
#include "common/settings.h"
#include "common/signals.h"
#include "config/config.h"
#include "notify/report.h"
#include "support/mail_sandbox.h"
#include "support/support.h"
#include "support/wait.h"

namespace callvane {
namespace {

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
    std::string why;
    if (!mail_.enter(why)) GTEST_SKIP() << why;
  }
  void TearDown() override { administrator.reset(); }
  testsupport::mail_sandbox mail_;
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
  std::string mail;
  testsupport::wait_until(
      [&] { return (mail = mail_.delivered()).find(body) != std::string::npos; },
      std::chrono::seconds(30), std::chrono::milliseconds(50));
  ASSERT_NE(std::string::npos, mail.find(body)) << "mailbox:\n"
                                                << mail << "\nexim log:\n"
                                                << mail_.logs() << "\nlog:\n"
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
