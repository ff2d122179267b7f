// Loading the configuration through the program, as an operator does with
// -q 0 and -Q: every problem on standard error, status 255 on errors.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/support.h"

using testsupport::contains;
using testsupport::run_callvane;
using testsupport::temp_dir;

namespace {

// A queue and a lock directory the program can use after it became uucp.
struct spool {
  temp_dir queue;
  temp_dir lock;
  spool() {
    chmod(queue.path().c_str(), 0777);
    chmod(lock.path().c_str(), 0777);
  }
  std::string globals() const {
    return "queuedir=" + queue.path() + "\nlockdir=" + lock.path() + "\n";
  }
};

const char GOOD[] =
    "modem=m1 device=/dev/null\n"
    "service=default device=m1 phone=5550100\n"
    "pager=alice pagerid=100\n"
    "pager=bob pagerid=200\n"
    "group=ops member=alice/MoTuWeThFr0800-1700 member=bob\n";

}  // namespace

TEST(ProgramLoad, GoodConfigurationLoads) {
  spool s;
  temp_dir dir;
  std::string conf = dir.write("callvane.conf", s.globals() + GOOD);
  auto r = run_callvane({"-d", "-q", "0", "-C", conf});
  ASSERT_FALSE(r.timed_out);
  EXPECT_FALSE(contains(r.err, "Error reading configuration file"));
  EXPECT_FALSE(contains(r.err, conf + "("));
  EXPECT_FALSE(contains(r.err, "cannot"));
}

TEST(ProgramLoad, ProblemsAreReportedWithFileAndLine) {
  spool s;
  temp_dir dir;
  std::string inc = dir.write("pagers.conf", "pager=nobody\n\n");
  std::string conf = dir.write("callvane.conf", s.globals() + GOOD +  // lines 1-7
                                                    "  bogus=1\n"     // 8
                                                    "include=" +
                                                    inc +
                                                    "\n"                           // 9
                                                    "service=x baudrate=4800\n");  // 10
  auto r = run_callvane({"-d", "-q", "0", "-C", conf});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, conf + "(8): unexpected: <bogus=1>"));
  EXPECT_TRUE(contains(r.err, inc + "(2): no pagerid for pager=nobody"));
  EXPECT_TRUE(contains(r.err, "unrecognized baud rate 4800"));
  EXPECT_TRUE(contains(r.err, "Error reading configuration file\n"));
  // The message comes after every problem of the load.
  EXPECT_GT(r.err.find("Error reading configuration file"), r.err.find("unrecognized baud rate"));
}

TEST(ProgramLoad, MissingFileFailsEvenWithAFailingDirectoryCheck) {
  temp_dir dir;
  auto r = run_callvane({"-d", "-q", "0", "-C", dir.file("absent.conf")});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(
      contains(r.err, "cannot open " + dir.file("absent.conf") + ": No such file or directory"));
  EXPECT_TRUE(contains(r.err, "Error reading configuration file"));
}

TEST(ProgramLoad, DirectoriesAreCheckedAsTheUnprivilegedUser) {
  spool s;
  temp_dir dir;
  temp_dir root_only;
  chmod(root_only.path().c_str(), 0700);
  std::string conf =
      dir.write("callvane.conf", "lockdir=" + s.lock.path() + "\nqueuedir=" + root_only.path() +
                                     "\nqueuedir=" + s.queue.path() + "\n" + GOOD);
  auto r = run_callvane({"-d", "-q", "0", "-C", conf});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(
      contains(r.err, conf + "(2): cannot access " + root_only.path() + ": Permission denied"));
  EXPECT_TRUE(contains(r.err, "Error reading configuration file"));
}

TEST(ProgramLoad, SelfIncludeEndsWithAnError) {
  spool s;
  temp_dir dir;
  std::string conf = dir.file("loop.conf");
  dir.write("loop.conf", s.globals() + GOOD + "include=" + conf + "\n");
  auto r = run_callvane({"-d", "-q", "0", "-C", conf});
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(
      r.err, conf + "(8): include of " + conf + " refused: that file is already being read"));
}

TEST(ProgramLoad, QueueListingReadsTheDefaultFile) {
  if (access("/usr/bin/unshare", X_OK) != 0) GTEST_SKIP() << "no unshare";
  spool s;
  temp_dir etc;
  std::string conf = etc.write("callvane.conf", s.globals() + GOOD + "modem=broken\n");
  // The fixed path is supplied only inside a private mount namespace.
  auto r = testsupport::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                             "mount --bind " + etc.path() + " /usr/local/etc && exec " +
                                 testsupport::callvane_path() + " -d -Q"});
  ASSERT_FALSE(r.timed_out);
  if (r.err.find("mount") != std::string::npos && r.err.find("callvane") == std::string::npos)
    GTEST_SKIP() << "no mount namespace here: " << r.err;
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(contains(r.err, "/usr/local/etc/callvane.conf(8): no device for modem=broken"));
  EXPECT_TRUE(contains(r.err, "Error reading configuration file"));
}
