// Message text input: line and text reading, cleaning, command-line words.
#include "common/textinput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "config/config.h"
#include "support/pty.h"
#include "support/support.h"

using namespace callvane;

namespace {

// Feeds `chunks` into a pipe one after another with a short pause between
// them, so the reader sees the input arrive piece by piece.
class paced_pipe {
 public:
  explicit paced_pipe(std::vector<std::string> chunks, bool close_at_end = true) {
    if (pipe(fds_) != 0) throw std::runtime_error("pipe");
    writer_ = std::thread([this, chunks = std::move(chunks), close_at_end] {
      for (const auto& c : chunks) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!c.empty() && ::write(fds_[1], c.data(), c.size()) < 0) break;
      }
      if (close_at_end) close_writer();
    });
  }
  ~paced_pipe() {
    writer_.join();
    close_writer();
    ::close(fds_[0]);
  }
  int read_fd() const { return fds_[0]; }

 private:
  void close_writer() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2];
  std::thread writer_;
};

// Splits a text into single bytes, the hardest way for a reader to get it.
std::vector<std::string> bytes_of(const std::string& text) {
  std::vector<std::string> out;
  for (char c : text) out.emplace_back(1, c);
  return out;
}

read_result read_all(const std::string& input, bool text_mode, bool bytewise = true) {
  paced_pipe feed(bytewise ? bytes_of(input) : std::vector<std::string>{input});
  in_stream in(feed.read_fd());
  return read_text(in, text_mode);
}

std::optional<std::string> text_of(const std::string& input, bool text_mode) {
  read_result r = read_all(input, text_mode);
  EXPECT_FALSE(r.timed_out);
  return r.text;
}

std::string cleaned(std::string text) {
  clean_message(text);
  return text;
}

}  // namespace

TEST(ReadText, TextModeFoldsLinesAndStopsAtLoneDot) {
  EXPECT_EQ(text_of("hello\n  world  \n.\n", true), "hello world");
  EXPECT_EQ(text_of("hello\r\n  world  \r\n.\r\nnot this\r\n", true), "hello world");
  EXPECT_EQ(text_of(".\n", true), std::nullopt);
  EXPECT_EQ(text_of("", true), std::nullopt);
  EXPECT_EQ(text_of(" \t\n\n", true), std::nullopt);
}

TEST(ReadText, DotRules) {
  // no unstuffing: a doubled dot stays
  EXPECT_EQ(text_of("..x\n.\n", true), "..x");
  // a dot followed by more text on its line does not end the text
  EXPECT_EQ(text_of(". x\nmore\n.\n", true), ". x more");
  // a dot inside a line is ordinary
  EXPECT_EQ(text_of("a.b\n.\n", true), "a.b");
  // a lone dot at the very end without a line end stays part of the text
  EXPECT_EQ(text_of("abc\n.", true), "abc .");
  // the first line may be the lone dot
  EXPECT_EQ(text_of(".\r\nrest\r\n", true), std::nullopt);
  // a line holding only a dot is empty in one-line mode too
  EXPECT_EQ(text_of(".\n", false), std::nullopt);
  EXPECT_EQ(text_of(".x\n", false), ".x");
}

TEST(ReadText, OneLineMode) {
  EXPECT_EQ(text_of("   PAGEr   1234   \r\nQUIT\r\n", false), "PAGEr 1234");
  EXPECT_EQ(text_of("\r\nQUIT\r\n", false), std::nullopt);
  EXPECT_EQ(text_of("\n", false), std::nullopt);
  EXPECT_EQ(text_of("no line end", false), "no line end");
}

TEST(ReadText, LoneCarriageReturnEndsALineAndKeepsTheNextByte) {
  paced_pipe feed(bytes_of("a\rx\n"));
  in_stream in(feed.read_fd());
  EXPECT_EQ(read_text(in, false).text, "a");
  EXPECT_EQ(read_text(in, false).text, "x");
}

TEST(ReadText, OneLineModeLeavesTheNextLineUnread) {
  paced_pipe feed(bytes_of("first line\r\nsecond\r\n"));
  in_stream in(feed.read_fd());
  EXPECT_EQ(read_text(in, false).text, "first line");
  EXPECT_EQ(read_text(in, false).text, "second");
  EXPECT_EQ(read_text(in, false).text, std::nullopt);
}

TEST(ReadText, CarriageReturns) {
  EXPECT_EQ(text_of("abc\r", true), "abc");
  EXPECT_EQ(text_of("abc\r", false), "abc");
  // CR followed by another byte: one blank, and the byte is read once
  EXPECT_EQ(text_of("a\rx\n.\n", true), "a x");
  EXPECT_EQ(text_of("a\r\rb\n.\n", true), "a b");
}

TEST(ReadText, WhitespaceKindsAndHighBytes) {
  EXPECT_EQ(text_of("\t\va\f\f b\n.\n", true), "a b");
  // bytes 0x80..0xFF are never whitespace
  EXPECT_EQ(text_of("\xa0x\xff\n.\n", true), "\xa0x\xff");
}

TEST(ReadText, LongInputIsKeptWhole) {
  std::string word(5000, 'w');
  std::string input;
  for (int i = 0; i < 5; i++) input += word + "  \n";
  input += ".\n";
  read_result r = read_all(input, true, false);
  ASSERT_TRUE(r.text);
  EXPECT_EQ(r.text->size(), 5 * 5000u + 4u);
  EXPECT_EQ(r.text->substr(5000, 2), " w");
}

TEST(ReadText, TimeOutOnAConnectionDropsWhatWasRead) {
  int saved = snpptimeout;
  snpptimeout = 2;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(write(sv[1], "partial line", 12), 12);
  {
    in_stream in(sv[0]);
    read_result r = read_text(in, false);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.text, std::nullopt);
  }
  // The deadline covers the whole call: a peer that keeps trickling bytes
  // without ever ending the text runs out of time too.
  std::thread trickle([fd = sv[1]] {
    for (int i = 0; i < 30; i++) {
      if (send(fd, "x\n", 2, MSG_NOSIGNAL) != 2) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  {
    in_stream in(sv[0]);
    read_result r = read_text(in, true);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.text, std::nullopt);
  }
  shutdown(sv[0], SHUT_RDWR);
  trickle.join();
  close(sv[0]);
  close(sv[1]);
  snpptimeout = saved;
}

TEST(ReadText, InputThatEndsInTimeIsNoTimeOut) {
  int saved = snpptimeout;
  snpptimeout = 2;
  paced_pipe feed({"PAGEr", " 12", "34\r", "\n"});
  in_stream in(feed.read_fd());
  read_result r = read_text(in, false);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.text, "PAGEr 1234");
  snpptimeout = saved;
}

TEST(CleanMessage, FoldsWhitespaceAndKeepsLeadingBlank) {
  EXPECT_EQ(cleaned("\tHi\n\nthere "), " Hi there");
  EXPECT_EQ(cleaned("a \r\n\t b"), "a b");
  EXPECT_EQ(cleaned(""), "");
  EXPECT_EQ(cleaned(" "), "");
}

TEST(CleanMessage, SevenBitAndControlEscapes) {
  EXPECT_EQ(cleaned("\xc8\x69"), "Hi");
  EXPECT_EQ(cleaned("\x07"), "\x1aG");
  EXPECT_EQ(cleaned("\x01\x1b"),
            "\x1a"
            "A"
            "\x1a[");
  // 0x80 becomes nothing, 0x8A (a line feed once cleared) a blank
  EXPECT_EQ(cleaned("a\x80"
                    "b\x8a\x89"
                    "c"),
            "ab c");
  EXPECT_EQ(cleaned(std::string("x\0y", 3)), "xy");
  EXPECT_EQ(cleaned("\x7f~"), "\x7f~");
  // never more than two output bytes per input byte
  std::string controls(300, '\x02');
  EXPECT_EQ(cleaned(controls).size(), 600u);
}

TEST(GetMessage, JoinsWordsWithSingleBlanks) {
  char w1[] = "call", w2[] = "me now";
  char* words[] = {w1, w2};
  EXPECT_EQ(get_message(2, words), "call me now");
  char one[] = "x";
  char* single[] = {one};
  EXPECT_EQ(get_message(1, single), "x");
}

// From outside: a single empty word makes the client read its message from
// standard input, with no prompt when standard input is not a terminal. The
// empty server name then fails, which shows the message was found.
TEST(GetMessage, EmptyWordReadsStandardInput) {
  testsupport::run_options opts;
  opts.input = "hello\n  world\n.\nnot read\n";
  auto r = testsupport::run_callvane({"-s", "", "pager", ""}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Unknown host: \n");
  EXPECT_EQ(r.out, "");

  opts.input = "\n.\n";
  r = testsupport::run_callvane({"-s", "", "pager", ""}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "No message!\n");
}

// On a terminal the client prompts for the message and confirms it. The
// empty server name then fails at once.
TEST(GetMessage, PromptsOnATerminal) {
  testsupport::pty_pair pty(false);
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int slave = open(pty.slave_name.c_str(), O_RDWR);
    dup2(slave, 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execl(testsupport::callvane_path().c_str(), "callvane", "-s", "", "pager", nullptr);
    _exit(127);
  }
  close(out[1]);
  pty.say("hello\n.\n");
  std::string said;
  for (int i = 0; i < 500; i++) {  // at most 10 seconds
    struct pollfd pfd = {out[0], POLLIN, 0};
    if (poll(&pfd, 1, 20) <= 0) continue;
    char buf[256];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    said.append(buf, static_cast<size_t>(n));
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  close(out[0]);
  EXPECT_EQ(said, "Enter the message; end with '.' on a line by itself\nOk.\nUnknown host: \n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
}

// With a limit, an over-long line or text is read to its end but not kept,
// so the next read starts cleanly behind it.
TEST(ReadText, OverLongInputIsConsumedAndRefused) {
  struct limit_case {
    std::string input;
    bool text_mode;
    bool too_long;
    std::optional<std::string> text;  // what the first read keeps
  };
  const std::string big(100, 'x');
  const limit_case cases[] = {
      {"0123456789\r\nnext\r\n", false, false, "0123456789"},
      {"0123456789a\r\nnext\r\n", false, true, std::nullopt},
      {"0123456789   \r\nnext\r\n", false, false, "0123456789"},  // trailing blanks go
      {"   0123  4567\r\nnext\r\n", false, false, "0123 4567"},
      {big + " " + big + "\r\nnext\r\n", false, true, std::nullopt},
      {big + "\n" + big + "\n.\nnext\n", true, true, std::nullopt},
      {"01234\n56789\n.\nnext\n", true, true, std::nullopt},  // the line end is a blank
      {"0123\n4567\n.\nnext\n", true, false, "0123 4567"},
      {"0123456789\n.\nnext\n", true, false, "0123456789"},
      {"0123456789\n.x\n.\nnext\n", true, true, std::nullopt},
  };
  for (const limit_case& c : cases) {
    paced_pipe feed({c.input});
    in_stream in(feed.read_fd());
    read_result r = read_text(in, c.text_mode, 10);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.too_long, c.too_long) << c.input;
    EXPECT_EQ(r.text, c.text) << c.input;
    EXPECT_EQ(read_text(in, false, 10).text, "next") << c.input;
  }
}

TEST(ReadText, OverLongInputAtTheEndOfTheStream) {
  paced_pipe feed({std::string(5000, 'y')});
  in_stream in(feed.read_fd());
  read_result r = read_text(in, false, 1000);
  EXPECT_TRUE(r.too_long);
  EXPECT_EQ(r.text, std::nullopt);
  EXPECT_EQ(read_text(in, false, 1000).text, std::nullopt);
}

TEST(ReadText, OverLongInputStillTimesOut) {
  int saved = snpptimeout;
  snpptimeout = 2;
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::string chunk(100, 'z');
  ASSERT_EQ(write(sv[1], chunk.data(), chunk.size()), 100);
  {
    in_stream in(sv[0]);
    read_result r = read_text(in, false, 10);
    EXPECT_TRUE(r.timed_out);
    EXPECT_FALSE(r.too_long);
  }
  close(sv[0]);
  close(sv[1]);
  snpptimeout = saved;
}
