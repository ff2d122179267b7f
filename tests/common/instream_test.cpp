#include "common/instream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace callvane {
namespace {

using namespace std::chrono_literals;

struct pipe_pair {
  int r = -1, w = -1;
  pipe_pair() {
    int fds[2];
    if (pipe(fds) == 0) {
      r = fds[0];
      w = fds[1];
    }
  }
  ~pipe_pair() {
    if (r >= 0) close(r);
    if (w >= 0) close(w);
  }
  void put(const std::string& s) const {
    ssize_t n = write(w, s.data(), s.size());
    (void)n;
  }
  void close_writer() {
    close(w);
    w = -1;
  }
};

std::string drain(in_stream& in) {
  std::string s;
  for (int c; (c = in.get()) >= 0;) s.push_back(static_cast<char>(c));
  return s;
}

TEST(in_stream, ReadsEveryByteThenEnds) {
  pipe_pair p;
  std::string data = "ab\r\n";
  data.push_back('\0');
  data += "\xff\x80z";
  p.put(data);
  p.close_writer();
  in_stream in(p.r);
  EXPECT_FALSE(in.at_end());
  EXPECT_EQ(data, drain(in));
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(in_stream::END, in.get());
}

TEST(in_stream, LongInputCrossesTheBuffer) {
  pipe_pair p;
  std::string data;
  for (int i = 0; i < 10000; i++) data.push_back(static_cast<char>('a' + i % 26));
  pid_t pid = fork();
  if (pid == 0) {
    p.put(data);
    _exit(0);
  }
  p.close_writer();
  in_stream in(p.r);
  EXPECT_EQ(data, drain(in));
  waitpid(pid, nullptr, 0);
}

TEST(in_stream, UngetGivesTheByteBackFirst) {
  pipe_pair p;
  p.put("xy");
  p.close_writer();
  in_stream in(p.r);
  int c = in.get();
  EXPECT_EQ('x', c);
  in.unget('Q');
  EXPECT_EQ('Q', in.get());
  EXPECT_EQ('y', in.get());
  EXPECT_EQ(in_stream::END, in.get());
  // A byte put back after the end is still read, then the end again.
  in.unget('\r');
  EXPECT_FALSE(in.at_end());
  EXPECT_EQ('\r', in.get());
  EXPECT_TRUE(in.at_end());
}

TEST(in_stream, DeadlineGivesTimeoutAndKeepsTheStream) {
  pipe_pair p;
  in_stream in(p.r);
  EXPECT_EQ(in_stream::TIMEOUT, in.get(deadline_after(30ms)));
  EXPECT_FALSE(in.at_end());
  // A deadline already past does not wait at all.
  EXPECT_EQ(in_stream::TIMEOUT, in.get(deadline_after(-5ms)));
  p.put("k");
  EXPECT_EQ('k', in.get(deadline_after(1000ms)));
}

TEST(in_stream, BufferedBytesComeEvenAfterTheDeadline) {
  pipe_pair p;
  p.put("ab");
  in_stream in(p.r);
  EXPECT_EQ('a', in.get(deadline_after(1000ms)));
  EXPECT_EQ('b', in.get(deadline_after(-1ms)));
}

void on_alarm(int) {}

TEST(in_stream, InterruptedWaitGoesOnWithTheTimeLeft) {
  pipe_pair p;
  struct sigaction sa = {}, old;
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: poll and read see EINTR
  sigaction(SIGALRM, &sa, &old);
  struct itimerval t = {};
  t.it_value.tv_usec = 10000;
  setitimer(ITIMER_REAL, &t, nullptr);

  in_stream in(p.r);
  auto start = mono_clock::now();
  int c = in.get(deadline_after(150ms));
  auto waited = mono_clock::now() - start;
  sigaction(SIGALRM, &old, nullptr);
  EXPECT_EQ(in_stream::TIMEOUT, c);
  // The signal after 10 ms did not end the wait early.
  EXPECT_GE(waited, 150ms);
}

TEST(in_stream, OwnedDescriptorIsClosed) {
  pipe_pair p;
  int fd = dup(p.r);
  {
    in_stream in(fd, true);
    EXPECT_EQ(fd, in.fd());
  }
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));
  in_stream borrowed(p.r);
  borrowed.close();
  EXPECT_NE(-1, fcntl(p.r, F_GETFD));
  EXPECT_EQ(in_stream::END, borrowed.get());
}

TEST(in_stream, NonBlockingDescriptorWaitsForData) {
  pipe_pair p;
  fcntl(p.r, F_SETFL, O_NONBLOCK);
  pid_t pid = fork();
  if (pid == 0) {
    usleep(20000);
    p.put("late");
    _exit(0);
  }
  p.close_writer();
  in_stream in(p.r);
  EXPECT_EQ("late", drain(in));
  waitpid(pid, nullptr, 0);
}

}  // namespace
}  // namespace callvane
