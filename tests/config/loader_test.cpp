// Parsing the configuration file: records, defaults, syntax, messages and
// their line numbers, error counts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <random>

#include "config_fixture.h"

using namespace callvane;
using callvane_test::BASE;
using callvane_test::ConfigTest;
using callvane_test::occurrences;

using RecordTest = ConfigTest;

TEST_F(RecordTest, EmptyFileLeavesOnlyTheDefaultService) {
  auto r = parse("");
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(r.log, "");
  ASSERT_EQ(services.size(), 1u);
  const service& d = services.front();
  EXPECT_EQ(defservice, &d);
  EXPECT_EQ(d.name, "default");
  EXPECT_FALSE(d.device);
  EXPECT_FALSE(d.phone);
  EXPECT_FALSE(d.password);
  EXPECT_FALSE(d.dialcmd);
  EXPECT_EQ(d.baudrate, 300u);
  EXPECT_EQ(d.parity, PARITY_EVEN);
  EXPECT_EQ(d.maxmsgsize, 80);
  EXPECT_EQ(d.maxpages, 9);
  EXPECT_EQ(d.maxtries, 6);
  EXPECT_EQ(d.identfrom, 1);
  EXPECT_EQ(d.allowpid, 0);
  EXPECT_EQ(d.msgprefix, 1);
  EXPECT_TRUE(modems.empty());
  EXPECT_TRUE(pagers.empty());
  EXPECT_TRUE(groups.empty());
  EXPECT_EQ(queuedir.value_or(""), "/var/spool/callvane");
  EXPECT_EQ(lockdir.value_or(""), "/var/spool/lock");
  EXPECT_EQ(identtimeout, 10);
  EXPECT_EQ(snpptimeout, 60);
}

TEST_F(RecordTest, ListsRunNewestFirstAndLookupIsExact) {
  auto r = parse(std::string(BASE) +
                 "modem=m2 device=/dev/null\n"
                 "service=s1 device=m1 phone=1\n"
                 "service=s2 device=m2 phone=2\n"
                 "pager=alice pagerid=11\n"
                 "pager=bob pagerid=12\n"
                 "group=g1 member=alice\n"
                 "group=g2 member=bob\n");
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(modems.front().name, "m2");
  EXPECT_EQ(modems.back().name, "m1");
  EXPECT_EQ(services.front().name, "s2");
  EXPECT_EQ(services.back().name, "default");
  EXPECT_EQ(pagers.front().name, "bob");
  EXPECT_EQ(groups.front().name, "g2");
  EXPECT_EQ(lookup(pagers, "alice"), &pagers.back());
  EXPECT_EQ(lookup(pagers, "Alice"), nullptr);
  EXPECT_EQ(lookup(pagers, "alic"), nullptr);
  EXPECT_EQ(lookup(modems, "M1"), nullptr);
  ASSERT_NE(lookup(services, "s1"), nullptr);
  // Services have their own namespace.
  EXPECT_EQ(lookup(services, "alice"), nullptr);
}

TEST_F(RecordTest, NewServiceCopiesTheDefaultAtCreationOnly) {
  auto r = parse(
      "modem=m1 device=/dev/null\n"
      "service=default\n"
      " device=m1 phone=111 password=pw baudrate=1200 parity=none text=def\n"
      " maxmsgsize=100 maxpages=3 maxtries=2 identfrom=no allowpid=yes msgprefix=off\n"
      "service=early\n"
      "service=default phone=222 maxtries=7 baudrate=2400\n"
      "service=late\n");
  EXPECT_EQ(r.count, 0) << r.log;
  service* early = lookup(services, "early");
  service* late = lookup(services, "late");
  ASSERT_TRUE(early && late);
  EXPECT_EQ(early->device.value_or(""), "m1");
  EXPECT_EQ(early->phone.value_or(""), "111");
  EXPECT_EQ(early->password.value_or(""), "pw");
  EXPECT_EQ(early->baudrate, 1200u);
  EXPECT_EQ(early->parity, PARITY_NONE);
  EXPECT_EQ(early->maxmsgsize, 100);
  EXPECT_EQ(early->maxpages, 3);
  EXPECT_EQ(early->maxtries, 2);
  EXPECT_EQ(early->identfrom, 0);
  EXPECT_EQ(early->allowpid, 1);
  EXPECT_EQ(early->msgprefix, 0);
  EXPECT_FALSE(early->text) << "text is not inherited";
  EXPECT_EQ(late->phone.value_or(""), "222");
  EXPECT_EQ(late->maxtries, 7);
  EXPECT_EQ(late->baudrate, 2400u);
  // Only one record is named "default": the line reopens it.
  EXPECT_EQ(defservice, lookup(services, "default"));
  EXPECT_EQ(services.size(), 3u);
}

TEST_F(RecordTest, FlagsMoveOnlyAwayFromTheirDefaults) {
  auto r = parse(std::string(BASE) +
                 " allowpid=yes identfrom=off\n"
                 "service=s device=m1 phone=1 allowpid=no identfrom=yes msgprefix=maybe\n"
                 "synchronous=off\n"
                 "synchronous=yes\n");
  EXPECT_EQ(r.count, 0) << r.log;
  service* s = lookup(services, "s");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->allowpid, 1);
  EXPECT_EQ(s->identfrom, 0);
  EXPECT_EQ(s->msgprefix, 1);
  EXPECT_EQ(synchronous, 0);
}

TEST_F(RecordTest, ServiceNamedAgainIsReopened) {
  auto r = parse(std::string(BASE) +
                 "service=s device=m1 text=first\n"     // 4
                 "pager=p pagerid=1 service=s\n"        // 5
                 "service=default phone=999\n"          // 6
                 "service=s text=again maxtries=3\n");  // 7
  EXPECT_EQ(r.count, 0) << r.log;
  service* s = lookup(services, "s");
  ASSERT_NE(s, nullptr);
  // Reopening neither creates a record nor copies the default again.
  EXPECT_EQ(s->phone.value_or(""), "5550100");
  EXPECT_EQ(s->text.value_or(""), "again");
  EXPECT_EQ(s->maxtries, 3);
  EXPECT_EQ(lookup(pagers, "p")->service, s);
  EXPECT_EQ(services.size(), 2u);
}

TEST_F(RecordTest, ModemCompletion) {
  auto r = parse(
      "modem=/dev/null\n"         // 1: the name is the device
      "modem=/nonexistent/tty\n"  // 2
      "modem=plain\n"             // 3
      "modem=ok device=/dev/null initcmd=ATZ0 dialcmd=ATDP text=a_b\n");  // 4
  EXPECT_EQ(r.count, 2) << r.log;
  EXPECT_EQ(lookup(modems, "/dev/null")->device.value_or(""), "/dev/null");
  expect_logged(r, 3, "cannot access /nonexistent/tty: No such file or directory");
  expect_logged(r, 4, "no device for modem=plain");
  modem* ok = lookup(modems, "ok");
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->initcmd, "ATZ0");
  EXPECT_EQ(ok->dialcmd, "ATDP");
  EXPECT_EQ(ok->text.value_or(""), "a b");
  modem* plain = lookup(modems, "plain");
  EXPECT_EQ(plain->initcmd, "ATZ");
  EXPECT_EQ(plain->dialcmd, "ATDT");
}

TEST_F(RecordTest, ModemDeviceMustBeAccessible) {
  auto r = parse("modem=m device=/dev/null\n device=/nonexistent/ttyX\n");
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, 2, "cannot access /nonexistent/ttyX: No such file or directory");
  EXPECT_EQ(lookup(modems, "m")->device.value_or(""), "/dev/null");
}

TEST_F(RecordTest, ServiceCompletionRules) {
  auto r = parse(
      "modem=m1 device=/dev/null\n"                     // 1
      "service=nodev phone=1\n"                         // 2
      "service=nophone device=m1\n"                     // 3
      "service=odd device=m1,/dev/null,zz phone=1\n"    // 4
      "service=old device=/dev/null dialcmd=ATDT123\n"  // 5
      "pidfile=/tmp/x.pid\n");                          // 6
  // nodev 1, nophone 1, odd 2 (the path and zz are no modems), old 0.
  EXPECT_EQ(r.count, 4) << r.log;
  expect_logged(r, 3, "no modem device for service=nodev");
  EXPECT_EQ(lookup(services, "nodev")->device.value_or(""), "FATAL_CONFIGURATION_ERROR");
  expect_logged(r, 4, "no phone number for service=nophone");
  expect_logged(r, 4, "undefined modem zz");
  expect_logged(r, 5, "no dial command for service=odd, device=/dev/null");
  expect_logged(r, 5, "no dial command for service=odd, device=zz");
  expect_logged(r, 5, "warning: obsolete keyword \"dialcmd\"");
  EXPECT_EQ(lookup(services, "odd")->device.value_or(""), "m1,/dev/null,zz");
  EXPECT_EQ(lookup(services, "old")->dialcmd.value_or(""), "ATDT123");
  EXPECT_EQ(occurrences(r.log, "service=old"), 0)
      << "a service with dialcmd is not checked further";
}

TEST_F(RecordTest, ServiceDeviceEntriesAreCheckedButAlwaysTaken) {
  auto r = parse(std::string(BASE) +
                 "service=s phone=1 device=/nonexistent/cua\n"
                 "\tdevice=m1\n");
  EXPECT_EQ(r.count, 0) << r.log;
  expect_logged(r, 4, "cannot access /nonexistent/cua: No such file or directory");
  EXPECT_EQ(lookup(services, "s")->device.value_or(""), "m1");
}

TEST_F(RecordTest, PagerWithoutPageridIsRemoved) {
  auto r = parse(std::string(BASE) +
                 "pager=keep pagerid=1\n"  // 4
                 "pager=gone\n"            // 5
                 "  text=nothing\n"        // 6
                 "group=g member=keep\n"   // 7
                 "pager=last\n"            // 8
                 "\n"                      // 9
                 "# the end\n");           // 10
  EXPECT_EQ(r.count, 2) << r.log;
  EXPECT_EQ(lookup(pagers, "gone"), nullptr);
  EXPECT_EQ(lookup(pagers, "last"), nullptr);
  ASSERT_EQ(pagers.size(), 1u);
  expect_logged(r, 7, "no pagerid for pager=gone");
  expect_logged(r, 10, "no pagerid for pager=last");
}

TEST_F(RecordTest, GroupWithoutMembersStays) {
  auto r = parse("group=empty text=nobody\n\n");
  EXPECT_EQ(r.count, 1);
  expect_logged(r, 2, "group empty has no members");
  ASSERT_NE(lookup(groups, "empty"), nullptr);
  EXPECT_EQ(lookup(groups, "empty")->text.value_or(""), "nobody");
  EXPECT_TRUE(groups.front().members.empty());
}

TEST_F(RecordTest, ReloadKeepsOnlyPidfileSigfileAndSynchronous) {
  std::string sig = dir_.write("sig", "--\nsignature\n");
  std::string lock = dir_.path();
  interactive = true;  // no spool directory change here
  std::string first =
      dir_.write("first.conf", "lockdir=" + lock +
                                   "\nsynchronous=no\nadministrator=root\npidfile=/tmp/p.pid\n"
                                   "sigfile=" +
                                   sig +
                                   "\nforcehostname=@example.org\nidenttimeout=3\n"
                                   "snpptimeout=9\n" +
                                   BASE + "pager=p pagerid=1\n");
  testsupport::capture_fd cap(1);
  EXPECT_EQ(load_config_and_spool(first), 0);
  EXPECT_EQ(synchronous, 0);
  EXPECT_EQ(administrator.value_or(""), "root");
  EXPECT_EQ(identtimeout, 3);
  std::string second = dir_.write("second.conf", "lockdir=" + lock + "\n");
  EXPECT_EQ(load_config_and_spool(second), 0);
  std::string log = cap.finish();
  EXPECT_EQ(log, "");
  EXPECT_EQ(synchronous, 0);
  EXPECT_EQ(pidfile.value_or(""), "/tmp/p.pid");
  EXPECT_EQ(sigfile.value_or(""), sig);
  EXPECT_FALSE(administrator);
  EXPECT_FALSE(forcehostname);
  EXPECT_EQ(identtimeout, 10);
  EXPECT_EQ(snpptimeout, 60);
  EXPECT_TRUE(pagers.empty());
  EXPECT_TRUE(modems.empty());
  ASSERT_EQ(services.size(), 1u);
  EXPECT_FALSE(services.front().phone);
}

using SyntaxTest = ConfigTest;

TEST_F(SyntaxTest, SettingsBehindTheNameEqualIndentedOnes) {
  auto r = parse(
      "modem=a device=/dev/null initcmd=AT&F\n"
      "modem=b\n"
      "    device=/dev/null\n"
      "\tinitcmd=AT&F\n");
  EXPECT_EQ(r.count, 0) << r.log;
  modem* a = lookup(modems, "a");
  modem* b = lookup(modems, "b");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->device, b->device);
  EXPECT_EQ(a->initcmd, b->initcmd);
  EXPECT_EQ(a->initcmd, "AT&F");
  EXPECT_EQ(a->dialcmd, b->dialcmd);
}

TEST_F(SyntaxTest, IndentedLineAfterAGlobalIsUnexpected) {
  auto r = parse("modem=m device=/dev/null\nqueuedir=" + dir_.path() + "\n initcmd=ATX\n");
  EXPECT_EQ(r.count, 1);
  expect_logged(r, 3, "unexpected: <initcmd=ATX>");
  EXPECT_EQ(lookup(modems, "m")->initcmd, "ATZ");
}

TEST_F(SyntaxTest, MalformedKeywordsAreUnexpected) {
  auto r = parse(
      "pidfile = /tmp/a\n"          // blanks around "="
      "Pidfile=/tmp/b\n"            // capital letter
      "pidfile=\n"                  // empty value
      "  pidfile=/tmp/c\n"          // top-level keyword indented
      "pidfile=/tmp/d modem=m\n");  // a second top-level keyword
  EXPECT_EQ(r.count, 5) << r.log;
  expect_logged(r, 1, "unexpected: <pidfile = /tmp/a>");
  expect_logged(r, 2, "unexpected: <Pidfile=/tmp/b>");
  expect_logged(r, 3, "unexpected: <pidfile=>");
  expect_logged(r, 4, "unexpected: <pidfile=/tmp/c>");
  expect_logged(r, 5, "unexpected: <modem=m>");
  EXPECT_EQ(pidfile.value_or(""), "/tmp/d");
  EXPECT_TRUE(modems.empty());
}

TEST_F(SyntaxTest, CommentsAndBlankLines) {
  auto r = parse(
      "# heading\n"
      "\n"
      "   \t  \n"
      "administrator=root # who gets failures\n"
      "pidfile=/tmp/a#b\n"
      "   # indented comment\n"
      "modem=m device=/dev/null\r\n");
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(administrator.value_or(""), "root");
  EXPECT_EQ(pidfile.value_or(""), "/tmp/a");
  EXPECT_EQ(lookup(modems, "m")->device.value_or(""), "/dev/null");
}

TEST_F(SyntaxTest, TextValuesUseUnderscoresForBlanks) {
  auto r = parse(std::string(BASE) +
                 "pager=p pagerid=1 text=On_call_phone\n"
                 "pager=q pagerid=2 text=Two words\n");
  EXPECT_EQ(r.count, 1) << r.log;
  EXPECT_EQ(lookup(pagers, "p")->text.value_or(""), "On call phone");
  EXPECT_EQ(lookup(pagers, "q")->text.value_or(""), "Two");
  expect_logged(r, 5, "unexpected: <words>");
}

TEST_F(SyntaxTest, UnexpectedTextIsEscaped) {
  auto r = parse(std::string("\x01zz\xff\tq\n"));
  EXPECT_EQ(r.count, 1);
  expect_logged(r, 1, "unexpected: <\\001zz\\377\\tq>");
}

TEST_F(SyntaxTest, LongLinesAreReadInPieces) {
  // 2000 characters: a piece of 1023 and one of 977, each a line of its own.
  auto r = parse(std::string(2000, 'x') + "\npager=p\n");
  EXPECT_EQ(r.count, 3) << r.log.substr(0, 300);
  expect_logged(r, 1, "unexpected: <" + std::string(1023, 'x') + ">");
  expect_logged(r, 2, "unexpected: <" + std::string(977, 'x') + ">");
  expect_logged(r, 3, "no pagerid for pager=p");
}

TEST_F(SyntaxTest, GlobalSettingsAndTheirClamps) {
  auto r = parse(
      "identtimeout=-5\nsnpptimeout=0\nadministrator=ops@example.org\n"
      "forcehostname=yes\nforcehostname=off\n");
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(identtimeout, 0);
  EXPECT_EQ(snpptimeout, 2);
  EXPECT_EQ(administrator.value_or(""), "ops@example.org");
  EXPECT_EQ(forcehostname.value_or(""), "true");

  struct {
    const char* line;
    int ident, snpp;
  } cases[] = {
      {"identtimeout=0\nsnpptimeout=1\n", 0, 2},
      {"identtimeout=1\nsnpptimeout=2\n", 1, 2},
      {"identtimeout=25\nsnpptimeout=300\n", 25, 300},
      {"identtimeout=abc\nsnpptimeout=x9\n", 0, 2},
      {"identtimeout=99999999999999999999\nsnpptimeout=7s\n", INT_MAX, 7},
  };
  for (const auto& c : cases) {
    auto rc = parse(c.line);
    EXPECT_EQ(rc.count, 0) << c.line;
    EXPECT_EQ(identtimeout, c.ident) << c.line;
    EXPECT_EQ(snpptimeout, c.snpp) << c.line;
  }
}

TEST_F(SyntaxTest, ForcehostnameValues) {
  parse("forcehostname=@mail.example.org\n");
  EXPECT_EQ(forcehostname.value_or(""), "@mail.example.org");
  parse("forcehostname=TRUE\n");
  EXPECT_EQ(forcehostname.value_or(""), "true");
  parse("forcehostname=perhaps\n");
  EXPECT_FALSE(forcehostname);
}

TEST_F(SyntaxTest, ServiceValueClamps) {
  struct {
    const char* setting;
    int maxmsgsize, maxpages, maxtries;
  } cases[] = {
      {"maxmsgsize=1000 maxpages=0 maxtries=0", 250, 1, 0},
      {"maxmsgsize=250 maxpages=1 maxtries=-4", 250, 1, -4},
      {"maxmsgsize=249 maxpages=2 maxtries=100", 249, 2, 100},
      {"maxmsgsize=-3 maxpages=8 maxtries=abc", -3, 8, 0},
      {"maxmsgsize=10 maxpages=9 maxtries=3", 10, 9, 3},
      {"maxmsgsize=10 maxpages=12 maxtries=3", 10, 9, 3},
  };
  for (const auto& c : cases) {
    auto r = parse(std::string(BASE) + " " + c.setting + "\n");
    EXPECT_EQ(r.count, 0) << c.setting << r.log;
    EXPECT_EQ(defservice->maxmsgsize, c.maxmsgsize) << c.setting;
    EXPECT_EQ(defservice->maxpages, c.maxpages) << c.setting;
    EXPECT_EQ(defservice->maxtries, c.maxtries) << c.setting;
  }
}

TEST_F(SyntaxTest, BaudRatesAndParity) {
  for (unsigned rate : {300u, 1200u, 2400u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
    auto r = parse(std::string(BASE) + " baudrate=" + std::to_string(rate) + "\n");
    EXPECT_EQ(r.count, 0);
    EXPECT_EQ(r.log, "");
    EXPECT_EQ(defservice->baudrate, rate);
  }
  auto r = parse(std::string(BASE) + " baudrate=9600\n baudrate=4800\n");
  EXPECT_EQ(r.count, 0);
  expect_logged(r, "unrecognized baud rate 4800");
  EXPECT_EQ(defservice->baudrate, 300u);

  r = parse(std::string(BASE) + " parity=ODD\n");
  EXPECT_EQ(defservice->parity, PARITY_ODD);
  r = parse(std::string(BASE) + " parity=None\n");
  EXPECT_EQ(defservice->parity, PARITY_NONE);
  r = parse(std::string(BASE) + " parity=none parity=mark\n");
  EXPECT_EQ(r.count, 0);
  expect_logged(r, "unrecognized parity mark");
  EXPECT_EQ(defservice->parity, PARITY_NONE);
}

TEST_F(SyntaxTest, DuplicatesAndClashesOrphanTheirSubKeywords) {
  auto r = parse(std::string(BASE) +
                 "modem=m1\n"           // 4: duplicate, not counted
                 "  initcmd=ATX\n"      // 5: unexpected
                 "pager=p pagerid=1\n"  // 6
                 "pager=p\n"            // 7: duplicate
                 "  pagerid=2\n"        // 8: unexpected
                 "group=g member=p\n"   // 9
                 "pager=g pagerid=3\n"  // 10: clash, rest of line unexpected
                 "group=p\n"            // 11: clash
                 "  member=p\n"         // 12: unexpected
                 "group=g\n"            // 13: duplicate
                 "  text=again\n");     // 14: unexpected
  EXPECT_EQ(r.count, 5) << r.log;
  expect_logged(r, 4, "duplicate modem m1");
  expect_logged(r, 5, "unexpected: <initcmd=ATX>");
  expect_logged(r, 7, "duplicate pager p");
  expect_logged(r, 8, "unexpected: <pagerid=2>");
  expect_logged(r, 10, "pager g not allowed, group g already defined");
  expect_logged(r, 10, "unexpected: <pagerid=3>");
  expect_logged(r, 11, "group p not allowed, pager p already defined");
  expect_logged(r, 12, "unexpected: <member=p>");
  expect_logged(r, 13, "duplicate group g");
  expect_logged(r, 14, "unexpected: <text=again>");
  EXPECT_EQ(modems.front().initcmd, "ATZ");
  EXPECT_EQ(lookup(pagers, "p")->pagerid.value_or(""), "1");
  EXPECT_EQ(pagers.size(), 1u);
  EXPECT_EQ(groups.size(), 1u);
  EXPECT_FALSE(groups.front().text);
}

TEST_F(SyntaxTest, PagerWithUnknownServiceIsDroppedAtOnce) {
  auto r = parse(std::string(BASE) +
                 "service=paging device=m1 phone=2\n"   // 4
                 "pager=a pagerid=1 service=paging\n"   // 5
                 "pager=b service=nowhere pagerid=2\n"  // 6
                 "  text=orphan\n"                      // 7
                 "pager=c pagerid=3\n");                // 8
  EXPECT_EQ(r.count, 3) << r.log;
  expect_logged(r, "no service nowhere for pager=b");
  expect_logged(r, 6, "unexpected: <pagerid=2>");
  expect_logged(r, 7, "unexpected: <text=orphan>");
  EXPECT_EQ(lookup(pagers, "b"), nullptr);
  EXPECT_EQ(lookup(pagers, "a")->service, lookup(services, "paging"));
  EXPECT_EQ(lookup(pagers, "c")->service, defservice);
}

TEST_F(SyntaxTest, GroupMembersResolveAtTheirLine) {
  auto r = parse(std::string(BASE) +
                 "pager=a pagerid=1\n"               // 4
                 "group=g\n"                         // 5
                 "  member=a/MoTuWeThFr0800-1700\n"  // 6
                 "  member=later\n"                  // 7: not yet defined
                 "  member=a/0800-1700\n"            // 8: invalid schedule
                 "  member=a/mo0800-1700\n"          // 9: valid, never on duty
                 "  member=a\n"                      // 10
                 "  member=g\n"                      // 11: a group is no pager
                 "pager=later pagerid=2\n");         // 12
  EXPECT_EQ(r.count, 0) << r.log;
  expect_logged(r, "no such pager later for group=g");
  expect_logged(r, "invalid schedule: 0800-1700");
  expect_logged(r, "no such pager g for group=g");
  pgroup* g = lookup(groups, "g");
  ASSERT_NE(g, nullptr);
  ASSERT_EQ(g->members.size(), 3u);
  auto it = g->members.begin();
  EXPECT_FALSE(it->schedule);  // the last member line comes first
  EXPECT_EQ((++it)->schedule.value_or(""), "mo0800-1700");
  EXPECT_EQ((++it)->schedule.value_or(""), "MoTuWeThFr0800-1700");
  for (const member& m : g->members) EXPECT_EQ(m.pager, lookup(pagers, "a"));
}

TEST_F(SyntaxTest, BinaryGarbageNeverStopsTheParser) {
  std::mt19937 rng(12345);
  std::string junk;
  for (int i = 0; i < 200000; i++) junk.push_back(static_cast<char>(rng() & 0xff));
  auto r = parse(junk + "\nmodem=after\n");
  EXPECT_GT(r.count, 0);
  // The parser went on to the end: the last record was read and completed.
  expect_logged(r, "no device for modem=after");
}

TEST_F(SyntaxTest, NulByteHidesTheRestOfItsLine) {
  auto r = parse(std::string("modem=m\0 device=/dev/null\n", 26));
  EXPECT_EQ(r.count, 1) << r.log;
  expect_logged(r, 1, "no device for modem=m");
}

TEST_F(SyntaxTest, ThousandsOfRecords) {
  std::string text = BASE;
  for (int i = 0; i < 3000; i++)
    text += "pager=p" + std::to_string(i) + " pagerid=" + std::to_string(i) + "\n";
  text += "group=all\n";
  for (int i = 0; i < 3000; i++) text += " member=p" + std::to_string(i) + "/Any0000-2400\n";
  auto r = parse(text);
  EXPECT_EQ(r.count, 0);
  EXPECT_EQ(pagers.size(), 3000u);
  EXPECT_EQ(groups.front().members.size(), 3000u);
  EXPECT_EQ(groups.front().members.front().pager->name, "p2999");
}

TEST_F(SyntaxTest, DirectoriesAndSignatureAreChecked) {
  std::string sig = dir_.write("sig", "--\n");
  auto r = parse(
      "queuedir=/nonexistent/spool\n"
      "lockdir=/nonexistent/lock\n"
      "sigfile=/nonexistent/sig\n"
      "queuedir=" +
      dir_.path() + "\nsigfile=" + sig + "\n");
  EXPECT_EQ(r.count, 3) << r.log;
  expect_logged(r, 1, "cannot access /nonexistent/spool: No such file or directory");
  expect_logged(r, 2, "cannot access /nonexistent/lock: No such file or directory");
  expect_logged(r, 3, "cannot access /nonexistent/sig: No such file or directory");
  EXPECT_EQ(queuedir.value_or(""), dir_.path());
  EXPECT_EQ(lockdir.value_or(""), "/var/spool/lock");
  EXPECT_EQ(sigfile.value_or(""), sig);
}
