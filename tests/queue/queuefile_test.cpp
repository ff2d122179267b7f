// Queue file content: what the writer puts down and what the reader takes.
#include "queue/queuefile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "queue/queuefile_fixture.h"
#include "queue/runner.h"
#include "support/builders.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using queuefile_test::QueueFileSpool;
using testsupport::contains;
using testsupport::recipient;

namespace {

page minimal_page() {
  return testsupport::make_page({"ann"}, "hello", 912000000, std::nullopt, "Abcd001");
}

// The file the writer made for `p`, which must be its only file.
std::string written(page& p, int expected = 1) {
  EXPECT_EQ(expected, write_new_page(p));
  if (!p.filename) return "";
  return testsupport::read_file(*p.filename);
}

class QueueFileWriter : public QueueFileSpool {
  testsupport::time_zone utc_{"UTC"};
};

class QueueFileReader : public QueueFileSpool {};

TEST_F(QueueFileWriter, MinimalPageByteForByte) {
  page p = minimal_page();
  time_t before = time(nullptr);
  std::string text = written(p);
  ASSERT_TRUE(p.filename);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(*p.filename, m, std::regex("P([0-9]+)\\.000")));
  EXPECT_GE(std::stol(m[1]), before);
  EXPECT_EQ(std::vector<std::string>{*p.filename}, entries());
  EXPECT_EQ(
      "Version: 3\n"
      "Tries: 0\n"
      "Pager: ann\n"
      "-\n"
      "Bytes: 16\n"
      "Message: hello\n"
      "Created: 912000000 Wed Nov 25 13:20:00 1998\n"
      "UniqueID: Abcd001\n",
      text);
  struct stat st {};
  ASSERT_EQ(0, stat(p.filename->c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 0777 & ~0022u);
}

TEST_F(QueueFileWriter, EveryLineInOrder) {
  page p = minimal_page();
  rcpt full = recipient("bob");
  full.coverage = "skytel";
  full.holduntil = 912345678;
  full.lasttry = 912340000;
  full.tries = 4;
  full.goodtries = 3;
  full.servicelevel = 0;
  full.flags = F_BUSY | F_SENDMAIL;
  p.rcpts.push_front(full);
  p.from = "Ann Smith <ann@example.org>";
  p.ident = "ann";
  p.hostname = "client.example.org";
  EXPECT_EQ(
      "Version: 3\n"
      "Coverage: skytel\n"
      "Holduntil: 912345678 Sun Nov 29 13:21:18 1998\n"
      "Lasttry: 912340000 Sun Nov 29 11:46:40 1998\n"
      "Tries: 4\n"
      "Goodtries: 3\n"
      "Servicelevel: 0\n"
      "Flags: 1028 ( F_BUSY F_SENDMAIL )\n"
      "Pager: bob\n"
      "Tries: 0\n"
      "Pager: ann\n"
      "-\n"
      "From: Ann Smith <ann@example.org>\n"
      "Ident: ann\n"
      "Hostname: client.example.org\n"
      "Bytes: 16\n"
      "Message: hello\n"
      "Created: 912000000 Wed Nov 25 13:20:00 1998\n"
      "UniqueID: Abcd001\n",
      written(p));
}

TEST_F(QueueFileWriter, FlagLines) {
  const struct {
    uint32_t flags;
    const char* line;
  } cases[] = {
      {F_SENDMAIL | F_SENTMAIL, "Flags: 3072 ( F_SENDMAIL F_SENTMAIL )\n"},
      {F_SENT | F_SENDMAIL, "Flags: 1025 ( F_SENT F_SENDMAIL )\n"},
      {F_FAILED | F_SENTADMIN, "Flags: 4098 ( F_FAILED F_SENTADMIN )\n"},
      {0x1FFE,
       "Flags: 8190 ( F_FAILED F_BUSY F_NOCARRIER F_NOMODEM F_FORCED F_NOPROMPT F_UNKNOWN "
       "F_REJECT F_RAWPID F_SENDMAIL F_SENTMAIL F_SENTADMIN )\n"},
  };
  for (const auto& c : cases) {
    page p = minimal_page();
    p.rcpts.front().flags = c.flags;
    p.rcpts.push_back(recipient("unsent"));
    std::string text = written(p);
    EXPECT_TRUE(contains(text, "Tries: 0\n" + std::string(c.line) + "Pager: ann\n"));
    ASSERT_EQ(0, unlink(p.filename->c_str()));
  }
}

TEST_F(QueueFileWriter, LongMessageIsCountedAndReadWhole) {
  page p = minimal_page();
  p.message = testsupport::short_words(5000);
  std::string text = written(p);
  EXPECT_TRUE(contains(text, "\nBytes: 5011\nMessage: " + *p.message + "\n"));
  std::string log = logged([&] {
    std::unique_ptr<page> back = read_page(*p.filename);
    ASSERT_TRUE(back);
    EXPECT_EQ(*p.message, back->message);
  });
  EXPECT_EQ("", log);
}

TEST_F(QueueFileWriter, RoundTripReversesRecipients) {
  page p = minimal_page();
  p.rcpts.clear();
  rcpt a = recipient("alpha");
  a.coverage = "north";
  a.holduntil = 912345678;
  a.tries = 2;
  a.goodtries = 1;
  a.flags = F_NOCARRIER;
  rcpt b = recipient("5551234");
  b.lasttry = 912340000;
  b.servicelevel = 7;
  b.flags = F_RAWPID | F_SENDMAIL;
  p.rcpts = {a, b};
  p.from = "someone";
  p.ident = "who";
  p.hostname = "h.example";
  ASSERT_EQ(1, write_new_page(p));

  std::unique_ptr<page> back = read_page(*p.filename);
  ASSERT_TRUE(back);
  ASSERT_EQ(2u, back->rcpts.size());
  const rcpt& first = back->rcpts.front();
  const rcpt& second = back->rcpts.back();
  EXPECT_EQ("5551234", first.pager);
  EXPECT_FALSE(first.coverage);
  EXPECT_EQ(912340000, first.lasttry);
  EXPECT_EQ(7, first.servicelevel);
  EXPECT_EQ(F_RAWPID | F_SENDMAIL, first.flags);
  EXPECT_EQ("alpha", second.pager);
  EXPECT_EQ("north", second.coverage);
  EXPECT_EQ(912345678, second.holduntil);
  EXPECT_EQ(0, second.lasttry);
  EXPECT_EQ(2, second.tries);
  EXPECT_EQ(1, second.goodtries);
  EXPECT_EQ(1, second.servicelevel);
  EXPECT_EQ(F_NOCARRIER, second.flags);
  EXPECT_EQ(p.filename, back->filename);
  EXPECT_EQ(912000000, back->created);
  EXPECT_EQ("hello", back->message);
  EXPECT_EQ("Abcd001", back->messageid);
  EXPECT_EQ("someone", back->from);
  EXPECT_EQ("who", back->ident);
  EXPECT_EQ("h.example", back->hostname);
  EXPECT_FALSE(back->login);

  std::string before = testsupport::read_file(*p.filename);
  ASSERT_EQ(1, write_page(*back));
  std::string after = testsupport::read_file(*p.filename);
  EXPECT_LT(after.find("Pager: 5551234"), after.find("Pager: alpha"));
  EXPECT_GT(before.find("Pager: 5551234"), before.find("Pager: alpha"));
  EXPECT_EQ(std::vector<std::string>{*p.filename}, entries());
}

TEST_F(QueueFileWriter, ReportsAreTheRunsNotTheFiles) {
  std::string why;
  if (!sandbox::enter(why)) GTEST_SKIP() << why;
  // No real mail leaves: the mailer cannot even be started.
  sandbox::file_override mailer("/usr/sbin/sendmail", "not a program\n");
  administrator = "admin@example.org";
  page p = minimal_page();
  p.from = "ann@example.org";
  p.rcpts.front().flags = F_FAILED | F_SENDMAIL;
  p.rcpts.push_back(recipient("bob"));
  ASSERT_EQ(1, write_new_page(p));
  EXPECT_NE(std::string::npos,
            testsupport::read_file(*p.filename).find("Flags: 1026 ( F_FAILED F_SENDMAIL )\n"));
  // Writing the file alone sends and marks nothing.
  ASSERT_EQ(1, write_page(p));
  EXPECT_NE(std::string::npos,
            testsupport::read_file(*p.filename).find("Flags: 1026 ( F_FAILED F_SENDMAIL )\n"));
  write_back(p);
  EXPECT_NE(std::string::npos,
            testsupport::read_file(*p.filename)
                .find("Flags: 7170 ( F_FAILED F_SENDMAIL F_SENTMAIL F_SENTADMIN )\nPager: ann\n"));
  administrator.reset();
  for (int i = 0; i < 100 && waitpid(-1, nullptr, 0) > 0; ++i) {
  }
}

TEST_F(QueueFileWriter, AllSentRemovesTheFile) {
  page p = minimal_page();
  p.rcpts.push_back(recipient("bob"));
  ASSERT_EQ(1, write_new_page(p));
  for (rcpt& r : p.rcpts) r.flags |= F_SENT;
  std::string log = logged([&] { EXPECT_EQ(0, write_page(p)); });
  EXPECT_EQ("unlinking " + *p.filename + "\n", log);
  EXPECT_TRUE(entries().empty());
}

TEST_F(QueueFileWriter, AllSentWithoutFileDoesNothing) {
  page p = minimal_page();
  p.rcpts.front().flags = F_SENT;
  EXPECT_EQ(0, write_new_page(p));
  page none = minimal_page();
  none.rcpts.clear();
  EXPECT_EQ(0, write_new_page(none));
  EXPECT_FALSE(none.filename);
  EXPECT_TRUE(entries().empty());
}

TEST_F(QueueFileWriter, RemovalThatFailsIsNoSuccess) {
  ASSERT_EQ(0, mkdir("P912000000.000", 0755));
  page p = minimal_page();
  p.rcpts.front().flags = F_SENT;
  p.filename = "P912000000.000";
  std::string log = logged([&] { EXPECT_EQ(-1, write_page(p)); });
  EXPECT_TRUE(contains(log, "unlink failed for P912000000.000: "));
  // Already gone: what removal was for.
  p.filename = "P912000000.001";
  EXPECT_EQ(0, write_page(p));
}

namespace {

std::string name_for(time_t t, int n) {
  char name[64];
  snprintf(name, sizeof name, "P%ld.%03d", static_cast<long>(t), n);
  return name;
}

// The attempt number of a queue name.
int attempt_of(const std::string& name) { return std::stoi(name.substr(name.find('.') + 1)); }

}  // namespace

// A burst that uses up a second's names waits for the next second, as
// long as the session that waits for the answer may; then it gives up.
TEST_F(QueueFileWriter, UsedUpSecondWaitsForTheNext) {
  for (auto [full, limit, expected] : {std::tuple{2, 60, true}, std::tuple{4, 2, false}}) {
    const bool written = expected;  // a lambda cannot capture a structured binding
    callvane::snpptimeout = limit;
    time_t now = time(nullptr);
    for (time_t t = now; t < now + full; ++t)
      for (int n = 0; n < 1000; ++n) put(name_for(t, n), "");
    page p = minimal_page();
    std::string log = logged([&] { EXPECT_EQ(written ? 1 : -1, write_new_page(p)); });
    EXPECT_EQ(written, p.filename && std::stol(p.filename->substr(1)) >= now + full) << log;
    EXPECT_EQ(written, log.find("cannot create file P") == std::string::npos) << log;
    callvane::snpptimeout = 60;
    for (const std::string& name : entries()) unlink(name.c_str());
  }
}

TEST_F(QueueFileWriter, MoreThanAHundredPagesASecond) {
  time_t now = time(nullptr);
  for (time_t t = now; t < now + 4; ++t)
    for (int n = 0; n < 100; ++n) put(name_for(t, n), "");
  page p = minimal_page();
  ASSERT_EQ(1, write_new_page(p));
  ASSERT_TRUE(p.filename);
  EXPECT_GE(attempt_of(*p.filename), 100) << *p.filename;
  EXPECT_EQ("hello", read_page(*p.filename)->message);
}

TEST_F(QueueFileWriter, ForkedWritersStartPastTheNewestName) {
  share_queue_name_hint();
  // Both writes must fall in one second for the comparison to hold.
  for (int round = 0; round < 5; ++round) {
    time_t before = time(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      page c = minimal_page();
      _exit(write_new_page(c) == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<std::string> names = entries();
    ASSERT_EQ(1u, names.size());
    // The child's name is free again; a writer that ignored the child's
    // hint would take it back.
    ASSERT_EQ(0, unlink(names.front().c_str()));
    page p = minimal_page();
    ASSERT_EQ(1, write_new_page(p));
    ASSERT_EQ(0, unlink(p.filename->c_str()));
    if (time(nullptr) != before) continue;
    EXPECT_GT(attempt_of(*p.filename), attempt_of(names.front()))
        << names.front() << " then " << *p.filename;
    return;
  }
  GTEST_SKIP() << "the clock ticked in every round";
}

TEST_F(QueueFileWriter, NextNumberWhenNameTaken) {
  page p = minimal_page();
  ASSERT_EQ(1, write_new_page(p));
  page q = minimal_page();
  ASSERT_EQ(1, write_new_page(q));
  ASSERT_TRUE(q.filename);
  EXPECT_NE(*p.filename, *q.filename);
  EXPECT_EQ("hello", read_page(*q.filename)->message);
  EXPECT_EQ(2u, entries().size());
}

TEST_F(QueueFileWriter, BadPageWrittenThenSetAside) {
  page p = minimal_page();
  ASSERT_EQ(1, write_new_page(p));
  std::string name = *p.filename;
  std::string bad = "B" + name.substr(1);
  p.rcpts.front().flags = F_FAILED;
  p.rcpts.front().tries = 9;
  p.flags |= F_BADPAGE;
  std::string log = logged([&] { EXPECT_EQ(0, write_page(p)); });
  EXPECT_EQ("renaming bad page to " + bad + "\n", log);
  EXPECT_EQ(name, p.filename);
  EXPECT_EQ(std::vector<std::string>{bad}, entries());
  std::unique_ptr<page> back = read_page(bad);
  ASSERT_TRUE(back);
  EXPECT_EQ(9, back->rcpts.front().tries);
  EXPECT_EQ(F_FAILED, back->rcpts.front().flags);
}

// A run writes back every page; one it left as it was keeps its file, and
// one it changed gets a new file with the change.
TEST_F(QueueFileWriter, WriteBackReplacesTheFileOnlyWhenThePageChanged) {
  page p = minimal_page();
  p.rcpts.front().holduntil = 2000000000;
  ASSERT_EQ(1, write_new_page(p));
  const std::string name = *p.filename;
  auto inode = [&] {
    struct stat st {};
    EXPECT_EQ(0, stat(name.c_str(), &st));
    return st.st_ino;
  };
  const std::string first = testsupport::read_file(name);
  const ino_t kept = inode();

  std::unique_ptr<page> held = read_page(name);
  ASSERT_TRUE(held);
  EXPECT_EQ(1, write_page(*held));
  EXPECT_EQ(first, testsupport::read_file(name));
  EXPECT_EQ(kept, inode()) << "an unchanged page is not written again";

  held->rcpts.front().tries = 3;
  EXPECT_EQ(1, write_page(*held));
  std::string changed = testsupport::read_file(name);
  EXPECT_TRUE(contains(changed, "Tries: 3\n"));
  EXPECT_NE(kept, inode()) << "a changed page is a new file renamed into place";
  EXPECT_EQ(std::vector<std::string>{name}, entries());

  // The page's bytes and more on disk is a difference too.
  { std::ofstream(name, std::ios::app) << "Tries: 4\n"; }
  ASSERT_NE(changed, testsupport::read_file(name));
  EXPECT_EQ(1, write_page(*held));
  EXPECT_EQ(changed, testsupport::read_file(name));
}

TEST_F(QueueFileWriter, RewriteOfVanishedFileFails) {
  page p = minimal_page();
  p.filename = "P912000000.000";
  std::string log = logged([&] { EXPECT_EQ(-1, write_page(p)); });
  EXPECT_EQ("cannot open file P912000000.000: No such file or directory\n", log);
  EXPECT_TRUE(entries().empty());
}

TEST_F(QueueFileWriter, UnstorableValuesAreRefused) {
  const std::string long_word(256, 'x');
  const struct {
    const char* field;
    std::function<void(page&)> spoil;
  } cases[] = {
      {"pager", [&](page& p) { p.rcpts.front().pager = long_word; }},
      {"pager", [](page& p) { p.rcpts.front().pager = "two words"; }},
      {"pager", [](page& p) { p.rcpts.back().pager = ""; }},
      {"coverage", [](page& p) { p.rcpts.front().coverage = "a\tb"; }},
      {"hostname", [&](page& p) { p.hostname = long_word; }},
      {"hostname", [](page& p) { p.hostname = "host\n"; }},
      {"id", [](page& p) { p.messageid = "Ab 001"; }},
      {"sender", [](page& p) { p.from = "ann\nUniqueID: forged"; }},
      {"ident", [](page& p) { p.ident = "x\ny"; }},
      {"message", [](page& p) { p.message = "line one\nline two"; }},
      {"message", [](page& p) { p.message = std::string("nul\0byte", 8); }},
      {"message", [](page& p) { p.message = std::string(MAX_PAGE_BYTES - 10, 'm'); }},
  };
  for (const auto& c : cases) {
    page p = minimal_page();
    p.rcpts.push_back(recipient("bob"));
    c.spoil(p);
    std::string log = logged([&] { EXPECT_EQ(-1, write_new_page(p)); });
    std::string id = p.messageid == "Abcd001" ? "Abcd001" : "Ab 001";
    EXPECT_EQ(0u, log.find("cannot queue page id=" + id + ": " + c.field + " ")) << log;
    EXPECT_TRUE(entries().empty()) << c.field;
    EXPECT_FALSE(p.filename);
  }
}

TEST_F(QueueFileWriter, LongestStorableValuesSurvive) {
  page p = minimal_page();
  p.rcpts.front().pager = std::string(255, 'p');
  p.rcpts.front().coverage = std::string(255, 'c');
  p.hostname = std::string(255, 'h');
  p.message = std::string(MAX_PAGE_BYTES - 11, 'm');
  ASSERT_EQ(1, write_new_page(p));
  std::unique_ptr<page> back = read_page(*p.filename);
  ASSERT_TRUE(back);
  EXPECT_EQ(p.rcpts.front().pager, back->rcpts.front().pager);
  EXPECT_EQ(p.rcpts.front().coverage, back->rcpts.front().coverage);
  EXPECT_EQ(p.hostname, back->hostname);
  EXPECT_EQ(p.message, back->message);
}

// ---- reader ----

const char TAIL[] = "-\nBytes: 16\nMessage: hello\nCreated: 912000000\nUniqueID: Zz01002\n";

TEST_F(QueueFileReader, Dispatch) {
  const struct {
    const char* what;
    std::string file;
    std::function<void(const page&)> check;
    std::string log;  // expected log, exactly
  } cases[] = {
      {"coverage after the separator is the creation time",
       "Version: 3\nTries: 0\nPager: ann\n-\nCoverage: north\nMessage: m\n",
       [](const page& p) {
         EXPECT_EQ(0, p.created);
         EXPECT_FALSE(p.rcpts.front().coverage);
       },
       ""},
      {"no version line", "Tries: 1\nPager: ann\n" + std::string(TAIL),
       [](const page& p) {
         ASSERT_EQ(1u, p.rcpts.size());
         EXPECT_EQ(1, p.rcpts.front().tries);
         EXPECT_EQ("Zz01002", p.messageid);
       },
       ""},
      {"unknown first character", "Version: 3\nPager: ann\n-\nXray: 12 \t3\nMessage: m\n",
       [](const page& p) { EXPECT_EQ("m", p.message); },
       "P1.000 line 4: unknown meaning (Xray: 12 \\t3)\n"},
      {"recipient lines after the last pager are dropped",
       "Version: 3\nTries: 1\nPager: ann\nTries: 5\nCoverage: x\n-\nPager: bob\n",
       [](const page& p) {
         ASSERT_EQ(2u, p.rcpts.size());
         EXPECT_EQ("bob", p.rcpts.front().pager);
         EXPECT_EQ(5, p.rcpts.front().tries);
         EXPECT_EQ("x", p.rcpts.front().coverage);
         EXPECT_EQ(1, p.rcpts.back().tries);
       },
       ""},
      {"missing id", "Version: 3\nPager: ann\n-\nMessage: m\n",
       [](const page& p) { EXPECT_EQ("[none]", p.messageid); }, ""},
      {"sections decide C, H, S and F",
       "Version: 3\nHolduntil: 912345678 Sun Nov 29\nServicelevel: 4\nFlags: 1025 ( F_SENT "
       "F_SENDMAIL )\nPager: ann\n-\nHostname: h1 junk\nStatus: whatever\nFrom:   Ann  B \n"
       "Created: 912000000 Wed\nIdent: i d\n",
       [](const page& p) {
         const rcpt& r = p.rcpts.front();
         EXPECT_EQ(912345678, r.holduntil);
         EXPECT_EQ(4, r.servicelevel);
         EXPECT_EQ(F_SENT | F_SENDMAIL, r.flags);
         EXPECT_EQ("h1", p.hostname);
         EXPECT_EQ("Ann  B ", p.from);
         EXPECT_EQ(912000000, p.created);
         EXPECT_EQ("i d", p.ident);
       },
       ""},
      {"first character only", "Version: 3\nthis is no keyword\nPlum: ann extra\n-\n#x\nMy: text\n",
       [](const page& p) {
         EXPECT_EQ("ann", p.rcpts.front().pager);
         EXPECT_EQ("text", p.message);
       },
       "P1.000 line 2: unknown meaning (this is no keyword)\n"},
      {"empty line", "Version: 3\n\n  \nPager: ann\n",
       [](const page& p) { EXPECT_EQ(1u, p.rcpts.size()); },
       "no keyword (this should never happen)\nno keyword (this should never happen)\n"},
      {"last line without newline", "Version: 3\nPager: ann\n-\nUniqueID: Qq",
       [](const page& p) { EXPECT_EQ("Qq", p.messageid); },
       "short read (this should never happen)\n"},
      {"line longer than the buffer comes in pieces",
       "Version: 3\nPager: ann\n-\nMessage: " + std::string(1014, 'a') + "Unique: Ww\n",
       [](const page& p) {
         EXPECT_EQ(std::string(1014, 'a'), p.message);
         EXPECT_EQ("Ww", p.messageid);
       },
       "short read (this should never happen)\n"},
      {"bytes line grows the buffer",
       "Version: 3\nPager: ann\n-\nBytes: 1035\nMessage: " + std::string(1024, 'a') + "\n",
       [](const page& p) { EXPECT_EQ(std::string(1024, 'a'), p.message); }, ""},
      {"numbers that are none leave the field", "Tries: many\nFlags: -3\nPager: ann\n",
       [](const page& p) {
         EXPECT_EQ(0, p.rcpts.front().tries);
         EXPECT_EQ(0u, p.rcpts.front().flags);
       },
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    put("P1.000", c.file);
    std::unique_ptr<page> p;
    std::string log = logged([&] { p = read_page("P1.000"); });
    ASSERT_TRUE(p);
    EXPECT_EQ("P1.000", p->filename);
    c.check(*p);
    EXPECT_EQ(c.log, log);
  }
}

TEST_F(QueueFileReader, Refuses) {
  const struct {
    std::string file;
    std::string log;
  } cases[] = {
      {"Version: 2\nPager: ann\n" + std::string(TAIL),
       "FATAL ERROR: incompatible version of queue file\n"},
      {"Pager: ann\nVersion: 4\n", "FATAL ERROR: incompatible version of queue file\n"},
      {"Version: three\n", "FATAL ERROR: incompatible version of queue file\n"},
      {"Version: 3\nBytes: 4000000000\n", "P1.000: byte count out of range (4000000000)\n"},
      {"Version: 3\nBytes: -5\n", "P1.000: byte count out of range (-5)\n"},
      {"Version: 3\nBytes: 99999999999999999999\n",
       "P1.000: byte count out of range (99999999999999999999)\n"},
      {"Version: 3\nBytes: 1048577\n", "P1.000: byte count out of range (1048577)\n"},
      {"Version: 3\nBytes: lots\n", "P1.000: byte count out of range (lots)\n"},
      {"Version: 3\nPager: " + std::string(256, 'p') + "\n",
       "P1.000 line 2: value longer than 255 characters\n"},
      {"Version: 3\nPager: ann\n-\nUniqueID: " + std::string(300, 'u') + "\n",
       "P1.000 line 4: value longer than 255 characters\n"},
  };
  for (const auto& c : cases) {
    put("P1.000", c.file);
    std::unique_ptr<page> p;
    std::string log = logged([&] { p = read_page("P1.000"); });
    EXPECT_FALSE(p) << c.file;
    EXPECT_EQ(c.log, log);
    EXPECT_EQ(c.file, testsupport::read_file("P1.000"));  // left alone
  }
}

TEST_F(QueueFileReader, LargestByteCountAccepted) {
  std::string message(MAX_PAGE_BYTES - 11, 'z');
  put("P1.000", "Version: 3\nPager: ann\n-\nBytes: 1048576\nMessage: " + message + "\n");
  std::unique_ptr<page> p = read_page("P1.000");
  ASSERT_TRUE(p);
  EXPECT_EQ(message, p->message);
}

TEST_F(QueueFileReader, OversizedFileIsNotRead) {
  put("P1.000", "Version: 3\n# " + std::string(MAX_QUEUE_FILE_BYTES, '#') + "\n");
  std::string log = logged([&] { EXPECT_FALSE(read_page("P1.000")); });
  EXPECT_EQ(0u, log.find("P1.000: file too large")) << log.substr(0, 200);
}

TEST_F(QueueFileReader, OnlyRegularFilesAreRead) {
  ASSERT_EQ(0, mkfifo("P3.000", 0644));
  ASSERT_EQ(0, mkdir("P4.000", 0755));
  std::string log = logged([] {
    EXPECT_FALSE(read_page("P3.000"));
    EXPECT_FALSE(read_page("P4.000"));
  });
  EXPECT_EQ("P3.000: not a regular file\nP4.000: not a regular file\n", log);
}

TEST_F(QueueFileReader, MissingFile) {
  std::string log = logged([&] { EXPECT_FALSE(read_page("P2.000")); });
  EXPECT_EQ("cannot open file P2.000 for reading\n", log);
}

}  // namespace
