// The queue listing: blocks per page, recipient states, what is left out.
#include "queue/listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <map>

#include "common/text.h"
#include "queue/spool_fixture.h"
#include "support/support.h"

using spooltest::page_file;
using spooltest::recipient;
using testsupport::contains;

namespace {

// Lists the spool in a child (the listing works in the current directory).
testsupport::child_result listing(const spooltest::spool& s) {
  return testsupport::in_child([&] {
    if (chdir(s.dir().c_str()) != 0) return 99;
    return callvane::list_queue();
  });
}

std::string when(int64_t t) { return callvane::time_text(t); }

TEST(ListingTest, EmptyQueueIgnoresTheLockAndOtherFiles) {
  spooltest::spool s;
  s.put("lock", "");
  s.put("notes", spooltest::queue_text(page_file{{{"alice"}}}));
  s.put(".P912345678.000", spooltest::queue_text(page_file{{{"alice"}}}));
  auto r = listing(s);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "The page queue is empty.");
}

TEST(ListingTest, ThreePagesOneBadAreListedByteForByte) {
  spooltest::spool s;
  page_file first{{{"alice"}, {"bob", 2, 1}},
                  "ops@example.org",
                  "gw.example.org",
                  "disk full",
                  912345678,
                  "AbCd001"};
  page_file second{{{"carol", 1, 1, 0, 912345680, 0x0001}},
                   std::nullopt,
                   std::nullopt,
                   "x",
                   912345679,
                   "AbCd002"};
  page_file bad{{{"dave", 3, 3, 0, 912345690, 0x0002}},
                "me@example.org",
                std::nullopt,
                "twelve bytes",
                912345600,
                "AbCd003"};
  s.put("P912345678.000", spooltest::queue_text(first));
  s.put("P912345679.001", spooltest::queue_text(second));
  s.put("B912345600.000", spooltest::queue_text(bad));
  s.put("lock", "");

  std::map<std::string, std::string> blocks{
      {"P912345678.000",
       "ID=AbCd001\n"
       "\t  Date: " +
           when(912345678) +
           "\n"
           "\t  File: P912345678.000\n"
           "\t  From: ops@example.org\n"
           "\t  Host: gw.example.org\n"
           "\tLength: 9 bytes\n"
           "\t    To: pager=bob, goodtries/tries=1/2\n"
           "\t    To: pager=alice\n"},
      {"P912345679.001",
       "ID=AbCd002\n"
       "\t  Date: " +
           when(912345679) +
           "\n"
           "\t  File: P912345679.001\n"
           "\t  From: [anonymous]\n"
           "\tLength: 1 bytes\n"
           "\t    To: pager=carol, goodtries/tries=1/1, status=SENT\n"},
      {"B912345600.000",
       "ID=AbCd003 (*** bad page ***)\n"
       "\t  Date: " +
           when(912345600) +
           "\n"
           "\t  File: B912345600.000\n"
           "\t  From: me@example.org\n"
           "\tLength: 12 bytes\n"
           "\t    To: pager=dave, goodtries/tries=3/3, status=FAILED\n"}};
  // Pages come in the order the directory returns them, one empty line apart.
  std::string expected;
  for (const std::string& name : s.names()) {
    if (!blocks.count(name)) continue;
    if (!expected.empty()) expected += "\n";
    expected += blocks[name];
  }
  auto r = listing(s);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, expected);
}

struct recipient_case {
  const char* what;
  recipient r;
  std::string line;  // after "\t    To: pager=x"
};

TEST(ListingTest, RecipientLinesShowTriesHoldsAndFinalState) {
  int64_t later = time(nullptr) + 86400;
  const std::vector<recipient_case> cases{
      {"never tried", {"x"}, ""},
      {"tried", {"x", 4, 2}, ", goodtries/tries=2/4"},
      {"busy only", {"x", 3, 0, 0, 0, 0x0004}, ", goodtries/tries=0/3"},
      {"held", {"x", 0, 0, later}, ", holduntil=" + when(later)},
      {"hold passed", {"x", 0, 0, 912345678}, ""},
      {"tried and held",
       {"x", 1, 1, later, 0, 0x0008},
       ", goodtries/tries=1/1, holduntil=" + when(later)},
      {"sent", {"x", 1, 1, 0, 912345690, 0x0401}, ", goodtries/tries=1/1, status=SENT"},
      {"failed", {"x", 6, 6, 0, 912345690, 0x1002}, ", goodtries/tries=6/6, status=FAILED"},
  };
  for (const recipient_case& c : cases) {
    spooltest::spool s;
    s.put("P912345678.000", spooltest::queue_text(page_file{{c.r}}));
    auto r = listing(s);
    EXPECT_EQ(r.status, 1) << c.what;
    std::string line = "\t    To: pager=x" + c.line + "\n";
    EXPECT_TRUE(contains(r.out, "bytes\n" + line)) << c.what << "\n" << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - line.size()), line) << c.what;
  }
}

TEST(ListingTest, UnreadableFilesAreLeftOutOfListAndCount) {
  spooltest::spool s;
  std::string refused = spooltest::queue_text(page_file{{{"alice"}}});
  refused.replace(0, 10, "Version: 2");
  s.put("P912345600.000", refused);
  s.put("P912345601.000", spooltest::queue_text(page_file{
                              {{"bob"}}, std::nullopt, std::nullopt, "hi", 912345601, "KEPT001"}));
  auto r = listing(s);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.rfind("ID=KEPT001\n", 0), 0u) << r.out;
  EXPECT_FALSE(contains(r.out, "ID=AAAA000"));
}

}  // namespace
