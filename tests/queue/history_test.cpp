// The record of finished pages: its lines, and its bound by rotation.
#include "queue/history.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/support.h"

namespace {

using namespace callvane;

TEST(HistoryTest, LineReadsBackWithEachRecipientsOutcome) {
  page p;
  p.messageid = "LJOA000h7";
  p.rcpts.push_back(rcpt{"alice", {}, 0, 0, 0, 2, 1, F_SENT});
  p.rcpts.push_back(rcpt{"odd:name", {}, 0, 0, 6, 6, 1, F_FAILED});
  auto read = parse_history_line(
      history_line(p, 1700000000).substr(0, history_line(p, 1700000000).size() - 1));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ("LJOA000h7", read->id);
  EXPECT_EQ(1700000000, read->finished);
  ASSERT_EQ(2u, read->recipients.size());
  EXPECT_TRUE(read->recipients[0].delivered);
  EXPECT_EQ(2, read->recipients[0].tries);
  EXPECT_EQ("odd:name", read->recipients[1].pager);
  EXPECT_FALSE(read->recipients[1].delivered);
  EXPECT_FALSE(parse_history_line("LJOA000h7\tsoon\td:1:alice").has_value());
}

TEST(HistoryTest, RecordIsBoundedAndKeepsTheLatestOfAnId) {
  testsupport::temp_dir dir;
  char here[4096];
  ASSERT_NE(nullptr, getcwd(here, sizeof here));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  std::string filler(1000, 'x');
  ASSERT_TRUE(append_history("first\t1\td:1:alice\n"));
  for (long i = 0; i < 2 * HISTORY_FILE_BYTES / 1000 + 2; i++)
    ASSERT_TRUE(append_history("f" + std::to_string(i) + "\t2\tf:1:" + filler + "\n"));
  ASSERT_TRUE(append_history("last\t3\td:1:bob\nlast\t4\tf:2:bob\n"));
  EXPECT_FALSE(find_finished("first").has_value()) << "rotated out";
  auto last = find_finished("last");
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(4, last->finished);
  EXPECT_LE(testsupport::read_file(HISTORY_FILE).size(),
            static_cast<size_t>(HISTORY_FILE_BYTES) + 1100);
  ASSERT_EQ(0, chdir(here));
}

}  // namespace
