// A queue run of the program reports a failure to the administrator once.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/text.h"
#include "mailer_standin.h"
#include "support/sandbox.h"
#include "support/support.h"

namespace {

using notifytest::mailer_standin;
using notifytest::standin_mode;

// bob has used up his tries and fails in the next run; carol is held until
// 2100, so the page stays in the queue for a second run.
std::string queue_file() {
  std::string held = "Holduntil: 4102444800 " + std::string(callvane::time_text(4102444800)) + "\n";
  return "Version: 3\n"
         "Tries: 2\nGoodtries: 2\nPager: bob\n" +
         held +
         "Tries: 0\nPager: carol\n"
         "-\n"
         "From: alice\n"
         "Hostname: client.example.org\n"
         "Bytes: 20\n"
         "Message: disk full\n"
         "Created: 912345678 " +
         callvane::time_text(912345678) +
         "\n"
         "UniqueID: Ab3x001\n";
}

TEST(NotifyProgram, QueueRunMailsTheAdministratorOnce) {
  std::string why;
  if (!sandbox::enter(why)) GTEST_SKIP() << why;
  testsupport::time_zone utc("UTC");
  testsupport::temp_dir spool, locks, conf_dir;
  chmod(spool.path().c_str(), 0777);
  chmod(locks.path().c_str(), 0777);
  spool.write("P912345678.000", queue_file(), 0666);
  std::string conf = conf_dir.write("callvane.conf", "queuedir=" + spool.path() +
                                                         "\n"
                                                         "lockdir=" +
                                                         locks.path() +
                                                         "\n"
                                                         "administrator=pager-admin@example.org\n"
                                                         "modem=m1 device=/dev/null dialcmd=ATDT\n"
                                                         "service=default phone=5550100 "
                                                         "maxtries=2 device=m1\n"
                                                         "pager=bob pagerid=2345678\n"
                                                         "pager=carol pagerid=3456789\n");
  mailer_standin mailer(standin_mode::record);
  testsupport::run_options opts;
  opts.env["TZ"] = "UTC";

  auto first = testsupport::run_callvane({"-q", "0", "-C", conf}, opts);
  ASSERT_EQ(0, first.status) << first.err;
  notifytest::standin_record got = mailer.wait_for_record();
  ASSERT_TRUE(got.ran) << first.err;
  EXPECT_EQ(std::string("sendmail\0-f\0<>\0pager-admin@example.org\0", 39), got.argv);
  EXPECT_NE(std::string::npos,
            got.input.find("To: Callvane Administrator <pager-admin@example.org>\n"
                           "Subject: A page has failed.\n"));
  // Read back from its file, the page lists its recipients in reverse.
  EXPECT_NE(std::string::npos, got.input.find("\tcarol                         Still trying\n"
                                              "\tbob                           Failed\n"));
  EXPECT_TRUE(got.input.ends_with("\n\nRegards,\nCallvane\n\n.\n")) << got.input;
  EXPECT_EQ("10 10", got.ids);
  // The mark reached the queue file, so the next run stays quiet.
  EXPECT_NE(std::string::npos,
            testsupport::read_file(spool.file("P912345678.000")).find("F_SENTADMIN"));

  mailer.forget();
  auto second = testsupport::run_callvane({"-q", "0", "-C", conf}, opts);
  ASSERT_EQ(0, second.status) << second.err;
  EXPECT_TRUE(mailer_standin::reap_children());
  EXPECT_FALSE(mailer.record().ran);
}

}  // namespace
