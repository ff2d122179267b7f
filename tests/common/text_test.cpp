#include "common/text.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace callvane {
namespace {

// ---------------------------------------------------------------- safe_string

TEST(SafeString, PrintableBytesPassUnchanged) {
  std::string all;
  for (int c = 0x20; c <= 0x7e; c++) all.push_back(static_cast<char>(c));
  EXPECT_EQ(all, safe_string(all));
  EXPECT_STREQ("", safe_string(""));
}

TEST(SafeString, NamedAndOctalEscapes) {
  EXPECT_STREQ("A\\t\\001\\351", safe_string("A\t\x01\xe9"));
  EXPECT_STREQ("\\n\\r\\e", safe_string("\n\r\x1b"));
  EXPECT_STREQ("\\177\\200\\377\\013\\014", safe_string("\x7f\x80\xff\x0b\x0c"));
  EXPECT_STREQ("x\\037y", safe_string("x\x1fy"));
}

TEST(SafeString, ZeroByteInsideAViewIsEscaped) {
  // Modem bytes are logged one at a time as views; a zero byte must show.
  EXPECT_STREQ("a\\000b", safe_string(std::string_view("a\0b", 3)));
  char zero = '\0';
  EXPECT_STREQ("\\000", safe_string(std::string_view(&zero, 1)));
}

TEST(SafeString, NextCallOverwritesTheArea) {
  const char* first = safe_string("one");
  const char* second = safe_string("two");
  EXPECT_EQ(first, second);
  EXPECT_STREQ("two", second);
}

TEST(SafeString, LongInputIsCutInsideTheAreaAtWholeEscapes) {
  // Four output bytes per input byte: 1023 escapes fit with the zero byte.
  std::string controls(5000, '\x01');
  const char* out = safe_string(controls);
  size_t len = strlen(out);
  EXPECT_EQ(4092u, len);
  for (size_t i = 0; i < len; i += 4) ASSERT_EQ(0, strncmp(out + i, "\\001", 4)) << i;

  std::string plain(5000, 'a');
  EXPECT_EQ(std::string(4095, 'a'), safe_string(plain));

  std::string tabs(3000, '\t');
  out = safe_string(tabs);
  EXPECT_EQ(4094u, strlen(out));
  EXPECT_EQ('t', out[4093]);

  // A two-byte escape that would only half fit is left out whole.
  std::string mixed = std::string(4094, 'b') + "\n";
  EXPECT_EQ(std::string(4094, 'b'), safe_string(mixed));
}

// ------------------------------------------------------------------ time_text

TEST(TimeText, CtimeWithoutNewline) {
  time_t when = 1'700'000'000;
  char expected[64];
  ASSERT_NE(nullptr, ctime_r(&when, expected));
  expected[24] = '\0';
  const char* text = time_text(when);
  ASSERT_NE(nullptr, text);
  EXPECT_STREQ(expected, text);
  EXPECT_EQ(24u, strlen(text));
  EXPECT_EQ(nullptr, strchr(text, '\n'));
}

TEST(TimeText, UnconvertibleTimeGivesNull) {
  EXPECT_EQ(nullptr, time_text(INT64_MAX));
  EXPECT_EQ(nullptr, time_text(INT64_MIN));
}

// --------------------------------------------------------------- current_user

TEST(CurrentUser, NameOfTheEffectiveUser) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  EXPECT_EQ("root", current_user());
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // A uid without a password entry, then a known one.
    if (seteuid(54321) != 0) _exit(10);
    if (current_user() != "UID=54321") _exit(11);
    if (seteuid(0) != 0 || seteuid(10) != 0) _exit(12);
    if (current_user() != "uucp") _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

// ----------------------------------------------------------------- next_token

std::vector<std::string> tokens(std::string_view text, std::string_view delimiters) {
  std::vector<std::string> out;
  std::optional<std::string_view> state = text;
  std::string token;
  while (next_token(state, delimiters, token)) {
    out.push_back(token);
    if (out.size() > 100) break;  // a splitter that never ends
  }
  return out;
}

using strings = std::vector<std::string>;

TEST(NextToken, SplitsAndSkipsEmptyEntries) {
  EXPECT_EQ((strings{"cua0", "cua1", "cua2"}), tokens("cua0,cua1,cua2", ","));
  EXPECT_EQ((strings{"a", "b"}), tokens("a,,b", ","));
  EXPECT_EQ((strings{"a", "b"}), tokens(",,a,b", ","));
  EXPECT_EQ((strings{"alpha", "beta", "gamma"}), tokens("alpha \nbeta\t, gamma", " \t\n,"));
}

TEST(NextToken, TrailingDelimiterAndEmptyText) {
  EXPECT_EQ((strings{"a", "b", ""}), tokens("a,b,", ","));
  EXPECT_EQ((strings{""}), tokens("", ","));
  EXPECT_EQ((strings{""}), tokens(",,,", ","));
  EXPECT_EQ((strings{"single"}), tokens("single", ","));
}

TEST(NextToken, EndedStateGivesNothing) {
  std::optional<std::string_view> state;
  std::string token = "untouched";
  EXPECT_FALSE(next_token(state, ",", token));
  EXPECT_EQ("untouched", token);
}

TEST(NextToken, SourceTextIsNotChanged) {
  std::string text = "x,y";
  std::optional<std::string_view> state = std::string_view(text);
  std::string token;
  ASSERT_TRUE(next_token(state, ",", token));
  EXPECT_EQ("x", token);
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ("y", *state);
  EXPECT_EQ("x,y", text);
}

// ------------------------------------------------------------------- wrapline

// All pieces of a text at one width, as wrapline hands them out.
strings pieces(const char* text, int width) {
  strings out;
  std::string piece;
  const char* rest = text;
  do {
    rest = wrapline(piece, rest, width);
    out.push_back(piece);
    if (out.size() > 100000) break;  // a cutter that never ends
  } while (rest != nullptr);
  return out;
}

TEST(Wrapline, BreaksAtTheLastBlank) {
  EXPECT_EQ((strings{"the ", "quick ", "brown"}), pieces("the quick brown", 10));
  EXPECT_EQ((strings{"one two ", "three"}), pieces("one two three", 10));
}

TEST(Wrapline, WhitespaceRunsBecomeOneBlank) {
  EXPECT_EQ((strings{"a b c"}), pieces("  a \t\n b\r\n\v\fc", 70));
  // Text ending inside a whitespace run keeps that blank.
  EXPECT_EQ((strings{"end "}), pieces("end   ", 70));
}

TEST(Wrapline, LongWordIsCut) {
  EXPECT_EQ((strings{"abcd", "efgh", "ij"}), pieces("abcdefghij", 5));
  // The cut piece is followed by whitespace: the rest starts after it.
  EXPECT_EQ((strings{"abcd", "ef"}), pieces("abcd   ef", 5));
}

TEST(Wrapline, BlankThatFillsThePiece) {
  // "ab" and the blank fill three places exactly.
  EXPECT_EQ((strings{"ab ", "cd"}), pieces("ab    cd", 4));
  // A full piece followed only by whitespace ends the text.
  std::string piece;
  EXPECT_EQ(nullptr, wrapline(piece, "abc   ", 4));
  EXPECT_EQ("abc", piece);
}

TEST(Wrapline, ExactFitEndsTheText) {
  std::string piece;
  EXPECT_EQ(nullptr, wrapline(piece, "abcd", 5));
  EXPECT_EQ("abcd", piece);
}

TEST(Wrapline, SmallWidths) {
  std::string piece = "old";
  const char* text = "  hello";
  EXPECT_EQ(text + 2, wrapline(piece, text, 1));
  EXPECT_EQ("", piece);
  EXPECT_EQ(text + 2, wrapline(piece, text, 0));
  EXPECT_EQ(text + 2, wrapline(piece, text, -3));
  const char* blanks = "   ";
  EXPECT_EQ(blanks + 3, wrapline(piece, blanks, 0));
}

TEST(Wrapline, EmptyTextGivesEmptyPieceAndNull) {
  std::string piece = "old";
  EXPECT_EQ(nullptr, wrapline(piece, "", 10));
  EXPECT_EQ("", piece);
  EXPECT_EQ(nullptr, wrapline(piece, " \t\r\n", 10));
  EXPECT_EQ("", piece);
}

TEST(Wrapline, HighBytesAreNotWhitespace) {
  EXPECT_EQ((strings{"\xa0\xa0\xa0\xa0", "\xa0 x"}), pieces("\xa0\xa0\xa0\xa0\xa0 x", 5));
}

TEST(Wrapline, PiecesNeverExceedWidthMinusOne) {
  std::string text;
  for (int i = 0; i < 200; i++) text += std::string(static_cast<size_t>(i % 13 + 1), 'w') + " ";
  for (int width : {2, 3, 7, 16, 50, 70}) {
    strings all = pieces(text.c_str(), width);
    std::string joined;
    for (const auto& p : all) {
      ASSERT_LE(p.size(), static_cast<size_t>(width - 1)) << width;
      ASSERT_FALSE(p.empty()) << width;
      joined += p;
    }
    // Nothing but blanks at piece ends may vanish.
    std::string letters, expected;
    for (char c : joined)
      if (c != ' ') letters += c;
    for (char c : text)
      if (c != ' ') expected += c;
    EXPECT_EQ(expected, letters) << width;
  }
}

}  // namespace
}  // namespace callvane
