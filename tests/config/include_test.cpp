// Includes in the configuration file, and whole loads with their directory checks.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config_fixture.h"

using namespace callvane;
using callvane_test::BASE;
using callvane_test::ConfigTest;
using callvane_test::occurrences;
using testsupport::contains;

using IncludeTest = ConfigTest;

TEST_F(IncludeTest, IncludedFileHasItsOwnLineNumbers) {
  dir_.write("inc.conf", "\n\npager=noid\n");
  auto r = parse(std::string(BASE) +
                 "pager=p\n"  // 4: completed by the include
                 "include=" +
                 path("inc.conf") +
                 "\n"            // 5
                 " pagerid=1\n"  // 6: no current record
                 "modem=x\n");   // 7
  EXPECT_EQ(r.count, 4) << r.log;
  expect_logged(r, 5, "no pagerid for pager=p");
  expect_logged(r, 3, "no pagerid for pager=noid", "inc.conf");
  expect_logged(r, 6, "unexpected: <pagerid=1>");
  expect_logged(r, 7, "no device for modem=x");
  EXPECT_TRUE(pagers.empty());
}

TEST_F(IncludeTest, RecordsFromIncludesAreShared) {
  dir_.write("modems.conf", "modem=m1 device=/dev/null\n");
  auto r = parse("include=" + path("modems.conf") +
                 "\nservice=default device=m1 phone=1\npager=p pagerid=1\n");
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_NE(lookup(modems, "m1"), nullptr);
}

TEST_F(IncludeTest, MissingIncludeCountsOneError) {
  auto r = parse("include=" + path("absent.conf") + "\n");
  EXPECT_EQ(r.count, 1);
  expect_logged(r, "cannot open " + path("absent.conf") + ": No such file or directory");
}

TEST_F(IncludeTest, RelativeIncludeIsTakenFromTheWorkingDirectory) {
  dir_.write("rel.conf", "pidfile=/tmp/rel.pid\n");
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  auto r = parse("include=rel.conf\n");
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(pidfile.value_or(""), "/tmp/rel.pid");
}

TEST_F(IncludeTest, SelfIncludeIsRefused) {
  std::string self = path("self.conf");
  auto r = parse("pager=x pagerid=1\ninclude=" + self + "\n", "self.conf");
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, 2, "include of " + self + " refused: that file is already being read",
                "self.conf");
  EXPECT_EQ(pagers.size(), 1u);
}

TEST_F(IncludeTest, IndirectCycleIsRefused) {
  std::string a = path("a.conf"), b = path("b.conf");
  dir_.write("b.conf", "pidfile=/tmp/b.pid\ninclude=" + a + "\n");
  auto r = parse("include=" + b + "\nadministrator=a\n", "a.conf");
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, 2, "include of " + a + " refused: that file is already being read", "b.conf");
  EXPECT_EQ(pidfile.value_or(""), "/tmp/b.pid");
  EXPECT_EQ(administrator.value_or(""), "a");
}

TEST_F(IncludeTest, DeepNestingIsRefused) {
  // f0 includes f1 ... f39; each defines a group with no members so that
  // every file that was read shows up in the count.
  const int files = 40;
  for (int i = files - 1; i >= 0; i--) {
    std::string text = "group=g" + std::to_string(i) + "\n";
    if (i + 1 < files) text += "include=" + path("f" + std::to_string(i + 1)) + "\n";
    dir_.write("f" + std::to_string(i), text);
  }
  testsupport::capture_fd cap(2);
  int n = parse_config(path("f0"));
  std::string log = cap.finish();
  EXPECT_EQ(occurrences(log, "refused"), 1) << log;
  EXPECT_TRUE(contains(
      log, path("f15") + "(2): include of " + path("f16") + " refused: more than 16 files nested"));
  // Sixteen files were read (one empty group each) and one include refused.
  EXPECT_EQ(groups.size(), 16u);
  EXPECT_EQ(n, 17);
}

TEST_F(IncludeTest, SpecialFilesDoNotHang) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
  auto r = parse("include=" + path("fifo") + "\ninclude=" + dir_.path() + "\n");
  EXPECT_EQ(r.count, 2) << r.log;
  expect_logged(r, "cannot open " + dir_.path() + ": Is a directory");
  r = parse("include=/dev/null\n");
  EXPECT_EQ(r.count, 0) << r.log;
  // An endless device is cut off after a bounded amount, with one error.
  r = parse("include=/dev/zero\n");
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, "/dev/zero(");
  expect_logged(r, "rest ignored");
  // Many includes of it share one bound: the load ends after two files'
  // worth, and the rest of the including file is ignored with one error.
  std::string many;
  for (int i = 0; i < 6; i++) many += "include=/dev/zero\n";
  r = parse(many);
  EXPECT_EQ(r.count, 3) << r.log;
  expect_logged(r, "configuration longer than 33554432 bytes in all, rest ignored");
}

using LoadTest = ConfigTest;

TEST_F(LoadTest, GoodLoadEntersTheSpoolDirectory) {
  testsupport::temp_dir spool;
  std::string conf = dir_.write(
      "good.conf", "queuedir=" + spool.path() + "\nlockdir=" + dir_.path() + "\n" + BASE);
  auto r = load(conf);
  EXPECT_EQ(r.count, 0) << r.log;
  char buf[4096];
  ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
  EXPECT_EQ(std::string(buf), spool.path());
}

TEST_F(LoadTest, MissingSpoolDirectoryIsNoErrorInInteractiveMode) {
  std::string conf = dir_.write("i.conf", "lockdir=" + dir_.path() + "\n");
  queuedir.reset();
  interactive = true;
  testsupport::capture_fd cap(1);
  EXPECT_EQ(load_config_and_spool(conf), 0);
  EXPECT_EQ(cap.finish(), "");
  EXPECT_EQ(queuedir.value_or(""), "/var/spool/callvane");

  interactive = false;
  struct stat st;
  if (stat("/var/spool/callvane", &st) != 0) {
    auto r = load(conf);
    EXPECT_EQ(r.count, 2) << r.log;
    expect_logged(r, "cannot access QueueDir(/var/spool/callvane): No such file or directory");
    expect_logged(r, "cannot chdir to QueueDir(/var/spool/callvane): No such file or directory");
  }
}

TEST_F(LoadTest, LockDirectoryIsChecked) {
  struct stat st;
  if (stat("/var/spool/lock", &st) == 0) GTEST_SKIP() << "this host has /var/spool/lock";
  std::string conf = dir_.write("l.conf", "queuedir=" + dir_.path() + "\n");
  auto r = load(conf);
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, "cannot access LockDir(/var/spool/lock): No such file or directory");
}

TEST_F(LoadTest, UnreadableFileAlwaysFails) {
  struct stat st;
  bool lock_missing = stat("/var/spool/lock", &st) != 0;
  auto r = load(path("missing.conf"));
  EXPECT_NE(r.count, 0);
  expect_logged(r, "cannot open " + path("missing.conf") + ": No such file or directory");
  // Even with a failing directory check on top the result stays an error.
  if (lock_missing) {
    expect_logged(r, "cannot access LockDir");
  }
  // With -i only the lock directory is checked: one failing check must not
  // cancel the missing file out.
  interactive = true;
  testsupport::capture_fd cap(1);
  EXPECT_GT(load_config_and_spool(path("missing.conf")), 0);
  cap.finish();
  interactive = false;
  r = load(dir_.path());
  EXPECT_NE(r.count, 0);
  expect_logged(r, "Is a directory");
}

TEST_F(LoadTest, MissingIncludeMakesTheLoadFail) {
  std::string conf = dir_.write("inc.conf", "queuedir=" + dir_.path() + "\nlockdir=" + dir_.path() +
                                                "\ninclude=" + path("none") + "\n");
  EXPECT_EQ(load(conf).count, 1);
}

TEST_F(LoadTest, AccessChecksUseTheProcessPrivileges) {
  // Run the load in a child that has become uucp: a root-only directory
  // then fails the check that root itself would pass.
  testsupport::temp_dir locked;
  ASSERT_EQ(chmod(locked.path().c_str(), 0700), 0);
  std::string conf =
      dir_.write("u.conf", "queuedir=" + locked.path() + "\nlockdir=" + locked.path() + "\n");
  chmod(conf.c_str(), 0644);
  auto child = testsupport::in_child([&] {
    struct passwd* pw = getpwnam("uucp");
    if (pw == nullptr || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) return 99;
    int n = load_config_and_spool(conf);
    return n > 100 ? 100 : n;
  });
  const std::string& log = child.err;
  ASSERT_LE(child.status, 100) << "no normal exit";
  ASSERT_NE(child.status, 99) << "cannot become uucp";
  // queuedir and lockdir refused (2), then the default lock and spool
  // directories are checked by the load itself.
  EXPECT_GE(child.status, 2) << log;
  EXPECT_TRUE(
      contains(log, at(1, "u.conf") + "cannot access " + locked.path() + ": Permission denied"));
  EXPECT_TRUE(
      contains(log, at(2, "u.conf") + "cannot access " + locked.path() + ": Permission denied"));
}
