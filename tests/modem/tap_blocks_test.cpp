// TAP blocks byte for byte: checksum, splitting, part marks, limits.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "modem/tap.h"
#include "support/builders.h"
#include "support/support.h"

using namespace callvane;

namespace {

struct job_fixture : testsupport::job_parts {
  std::vector<std::string> texts(const std::string& message) {
    pg.message = message;
    return tap_texts(j);
  }
};

std::string words(size_t length) { return testsupport::short_words(length); }

}  // namespace

TEST(TapBlock, ChecksumOfTheWorkedExample) {
  std::string block = tap_block("123", "abc");
  EXPECT_EQ(block, std::string("\x02"
                               "123\rabc\r\x03"
                               "1=;\r"));
  EXPECT_EQ(tap_checksum(std::string("\x02"
                                     "123\rabc\r\x03")),
            "1=;");
}

TEST(TapBlock, ChecksumKeepsTwelveBitsAndCountsHighBytesNegative) {
  // 64 times 'z' (0x7A) is 0x1E80; only 0xE80 is kept.
  EXPECT_EQ(tap_checksum(std::string(64, 'z')), ">80");
  EXPECT_EQ(tap_checksum(""), "000");
  // 0x80 counts as -128: 'A' (65) - 128 = -63, low 12 bits 0xFC1.
  EXPECT_EQ(tap_checksum(std::string("A\x80")), "?<1");
}

TEST(TapTexts, ShortMessageIsOneBlockWithPrefix) {
  job_fixture f;
  std::string msg = words(40);
  auto t = f.texts(msg);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], "alice: " + msg);
}

TEST(TapTexts, LongMessageSplitsWithHeadersAndEndMarker) {
  job_fixture f;
  std::string msg = words(120);
  auto t = f.texts(msg);
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].substr(0, 9), "alice:1: ");
  EXPECT_EQ(t[1].substr(0, 9), "alice:2: ");
  EXPECT_EQ(t[2].substr(0, 9), "alice:e: ");
  // Pieces hold at most 52 characters and carry the whole message.
  std::string joined;
  for (size_t i = 0; i < t.size(); i++) {
    std::string piece = t[i].substr(9);
    if (i == 2 && piece.size() >= 5 && piece.substr(piece.size() - 5) == " -oo-")
      piece.resize(piece.size() - 5);
    EXPECT_LE(piece.size(), 52u);
    joined += piece;
  }
  EXPECT_EQ(joined, msg);
  std::string last = t[2].substr(9);
  bool marked = last.size() >= 5 && last.substr(last.size() - 5) == " -oo-";
  EXPECT_EQ(marked, last.size() - (marked ? 5 : 0) <= 38);
}

TEST(TapTexts, EndMarkerBoundary) {
  job_fixture f;
  // First piece: 52 characters ending in a blank; the last piece follows.
  std::string first = std::string(51, 'a') + " ";
  for (size_t n : {37u, 38u, 39u, 40u}) {
    SCOPED_TRACE(n);
    auto t = f.texts(first + std::string(n, 'b'));
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], "alice:1: " + first);
    if (n <= 38)
      EXPECT_EQ(t[1], "alice:e: " + std::string(n, 'b') + " -oo-");
    else
      EXPECT_EQ(t[1], "alice:e: " + std::string(n, 'b'));
  }
}

TEST(TapTexts, WithoutPrefix) {
  job_fixture f;
  f.svc.msgprefix = 0;
  EXPECT_EQ(f.texts("hello there"), std::vector<std::string>{"hello there"});
  auto t = f.texts(words(150));
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ(t[0].substr(0, 3), "1: ");
  EXPECT_EQ(t[1].substr(0, 3), "2: ");
  EXPECT_EQ(t.back().substr(0, 3), "e: ");
  // Room grows by the prefix: pieces up to 80 - 7 - 3 - 12 = 58.
  for (auto& s : t) EXPECT_LE(s.size(), 3u + 58u);
}

TEST(TapTexts, SenderChoice) {
  job_fixture f;
  f.pg.from.reset();
  f.pg.ident = "bob";
  EXPECT_EQ(f.texts("hi"), std::vector<std::string>{"bob: hi"});
  f.svc.identfrom = 0;
  EXPECT_EQ(f.texts("hi"), std::vector<std::string>{"hi"});
  f.pg.ident.reset();
  f.svc.identfrom = 1;
  EXPECT_EQ(f.texts("hi"), std::vector<std::string>{"hi"});
  auto t = f.texts(words(150));
  EXPECT_EQ(t[0].substr(0, 3), "1: ");
}

TEST(TapTexts, MaxpagesCutsTheMessage) {
  job_fixture f;
  f.svc.maxpages = 2;
  auto t = f.texts(words(150));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].substr(0, 9), "alice:1: ");
  EXPECT_EQ(t[1].substr(0, 9), "alice:t: ");
  f.svc.maxpages = 1;
  t = f.texts(words(150));
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].substr(0, 9), "alice:t: ");
  // A message that needs exactly maxpages blocks ends with "e", not "t".
  f.svc.maxpages = 2;
  t = f.texts(words(100));
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[1].substr(0, 9), "alice:e: ");
}

TEST(TapTexts, MaxmsgsizeTooSmall) {
  job_fixture f;
  // room = 29 - 7 - 9 = 13.
  f.svc.maxmsgsize = 29;
  std::string why;
  f.pg.message = "hello";
  EXPECT_TRUE(tap_texts(f.j, &why).empty());
  EXPECT_EQ(why, "maxmsgsize too small");
  // room 20 is still too small, 21 is enough.
  f.svc.maxmsgsize = 36;
  EXPECT_TRUE(tap_texts(f.j).empty());
  f.svc.maxmsgsize = 37;
  EXPECT_EQ(tap_texts(f.j), std::vector<std::string>{"alice: hello"});
}

TEST(TapTexts, WhitespaceRunsCannotStretchTheSingleBlock) {
  job_fixture f;
  // Fits as one piece once runs are folded, but as given it would not fit.
  std::string msg = "a" + std::string(200, ' ') + "b";
  auto t = f.texts(msg);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0], "alice: a b");
  // Line ends would break the block's framing: they are folded too.
  EXPECT_EQ(f.texts("one\rtwo"), std::vector<std::string>{"alice: one two"});
  // An ordinary cleaned message keeps its leading blank.
  EXPECT_EQ(f.texts(" hi there"), std::vector<std::string>{"alice:  hi there"});
}

TEST(TapTexts, NoBlockExceedsMaxmsgsizeLessFour) {
  std::mt19937 rng(12345);
  const char alphabet[] = "abcdefghij     \t\n";
  for (int round = 0; round < 3000; round++) {
    job_fixture f;
    f.svc.maxmsgsize = 30 + static_cast<int>(rng() % 221);  // up to 250
    f.svc.maxpages = 1 + static_cast<int>(rng() % 9);
    f.svc.msgprefix = static_cast<int>(rng() % 2);
    f.pgr.pagerid = std::string(1 + rng() % 12, '7');
    f.pg.from = std::string(rng() % 12, 'u') + "@h";
    std::string msg;
    size_t len = rng() % 800;
    for (size_t i = 0; i < len; i++) msg += alphabet[rng() % (sizeof alphabet - 1)];
    auto t = f.texts(msg);
    for (const auto& text : t) {
      std::string block = tap_block(*f.pgr.pagerid, text);
      ASSERT_LE(static_cast<int>(block.size()), f.svc.maxmsgsize - 4)
          << "maxmsgsize " << f.svc.maxmsgsize << " text <" << text << ">";
    }
    ASSERT_LE(static_cast<int>(t.size()), f.svc.maxpages);
  }
}
