// The simulated modem itself: it outlives callers killed in the middle of a
// call, and paces its line when given a baud rate.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "config/config.h"
#include "modem/serial.h"
#include "modem/tap.h"
#include "support/pty_sim.h"
#include "support/support.h"
#include "support/wait.h"

using testsupport::contains;
using testsupport::pty_sim;
using Clock = std::chrono::steady_clock;

namespace {

using testsupport::exit_code;

constexpr char ESC = 0x1B;

// The line as the program sets it up: 7E1 at the service's rate.
int open_line(const std::string& device, unsigned baud) {
  int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return -1;
  callvane::service svc;
  svc.baudrate = baud;
  svc.parity = callvane::PARITY_EVEN;
  if (callvane::setup_line(fd, svc) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool say(int fd, const std::string& s) {
  return write(fd, s.data(), s.size()) == static_cast<ssize_t>(s.size());
}

// Reads until `text` has come or `ms` have passed.
bool await(int fd, const std::string& text, int ms) {
  std::string got;
  return testsupport::read_until(fd, text, got, std::chrono::milliseconds(ms));
}

// What a caller sends and the answer it waits for, one step of a call.
struct step {
  std::string send, expect;
};

std::vector<step> whole_call() {
  return {{"ATZ\r", "OK"},
          {"ATDT5550100\r", "CONNECT"},
          {"\r", "ID="},
          {std::string{ESC} + "PG1pw\r", std::string{ESC, '[', 'p'}},
          {callvane::tap_block("1234567", "killed caller"), "\x06\r"},
          {"\x04\r", std::string{ESC, 0x04}}};
}

// Runs the first `steps` steps of a call and leaves the line as it is; the
// exit status says which step failed.
int call(const std::string& device, size_t steps) {
  int fd = open_line(device, 300);
  if (fd < 0) return 1;
  auto script = whole_call();
  for (size_t i = 0; i < steps && i < script.size(); i++) {
    if (!say(fd, script[i].send) || !await(fd, script[i].expect, 5000))
      return 10 + static_cast<int>(i);
  }
  return 0;
}

class TapsimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The program gives up root for uucp: its lock directory must be writable.
    chmod(dir_.path().c_str(), 0777);
    mkdir(dir_.file("lock").c_str(), 01777);
    chmod(dir_.file("lock").c_str(), 01777);
  }
  // A delivery by the program through the simulator, as an operator would.
  testsupport::run_result deliver(const pty_sim& sim, const std::string& text,
                                  const std::string& service_extra = "") {
    std::string conf = dir_.write(
        "callvane.conf", "lockdir=" + dir_.file("lock") + "\nmodem=sim device=" + sim.device() +
                             "\nservice=default device=sim "
                             "phone=5550100 password=pw" +
                             service_extra + "\npager=alice pagerid=1234567\n");
    testsupport::run_options opts;
    opts.limit = std::chrono::seconds(60);
    return testsupport::run_callvane({"-i", "-C", conf, "-f", "", "-p", "alice", text}, opts);
  }
  bool delivered(const pty_sim& sim, const std::string& text) {
    for (const auto& b : sim.events("block"))
      if (b.size() > 3 && b[3] == text) return true;
    return false;
  }
  testsupport::temp_dir dir_;
};

TEST_F(TapsimTest, CallerKilledMidCallLeavesTheLineUsable) {
  pty_sim sim;
  auto killed = testsupport::in_child([&] {
    int failed = call(sim.device(), 3);  // up to the prompt
    if (failed == 0) raise(SIGKILL);
    return failed;
  });
  ASSERT_EQ(killed.status, 128 + SIGKILL) << killed.out << killed.err;

  auto r = deliver(sim, "after the crash");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "page delivered")) << sim.record();
  EXPECT_TRUE(delivered(sim, "after the crash")) << sim.record();
  // The vanished caller's call was ended like one that dropped DTR.
  auto hangups = sim.events("hangup");
  ASSERT_FALSE(hangups.empty()) << sim.record();
  EXPECT_EQ(hangups[0][1], "1") << sim.record();
}

TEST_F(TapsimTest, ManyCallersKilledAtRandomMomentsThenAGoodCall) {
  pty_sim sim;
  // One whole call first tells how long a call takes on this machine.
  auto start = Clock::now();
  ASSERT_EQ(testsupport::in_child([&] { return call(sim.device(), 99); }).status, 0)
      << sim.record();
  auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

  std::mt19937 random(20240611);
  std::uniform_int_distribution<long> moment(0, span.count() + 1000);
  auto give_up = Clock::now() + std::chrono::seconds(30);
  for (int i = 0; i < 200 && Clock::now() < give_up; i++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      call(sim.device(), 99);
      pause();
      _exit(0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(moment(random)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
  }

  auto r = deliver(sim, "still standing");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(delivered(sim, "still standing")) << r.out << sim.record().substr(0, 4000);
}

// The program run with -d -i from outside, its standard output and error
// on `log`; the pid.
pid_t start_program(const std::string& conf, const std::string& text, int log) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  dup2(log, STDERR_FILENO);
  dup2(log, STDOUT_FILENO);
  signal(SIGPIPE, SIG_DFL);
  std::string bin = testsupport::callvane_path();
  execl(bin.c_str(), "callvane", "-d", "-i", "-C", conf.c_str(), "-f", "", "-p", "alice",
        text.c_str(), static_cast<char*>(nullptr));
  _exit(127);
}

// Reads `fd` into `seen` until it holds `text`; false after 30 s or at the end.
bool read_until(int fd, const std::string& text, std::string& seen) {
  return testsupport::read_until(fd, text, seen, std::chrono::seconds(30));
}

// Holds the simulator still (SIGSTOP) until released or destroyed.
class held_still {
 public:
  explicit held_still(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~held_still() { release(); }
  held_still(const held_still&) = delete;
  held_still& operator=(const held_still&) = delete;
  void release() {
    if (pid_ > 0) kill(pid_, SIGCONT);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

// The program killed by SIGPIPE (as when its log reader goes away) in the
// middle of a call, and the next run sets its line up before the simulator
// has looked at the line again: the line still has the killed run's settings.
TEST_F(TapsimTest, ProgramKilledMidCallThenTheNextRunAtOnce) {
  // Slow answers on the first call, so that the first run is still waiting
  // for the answer to its login when it dies.
  pty_sim sim({"--reply-delay", "300", "--reply-delay", "0"});
  std::string conf = dir_.write(
      "killed.conf", "lockdir=" + dir_.file("lock") + "\nmodem=sim device=" + sim.device() +
                         "\nservice=default device=sim phone=5550100 password=pw\n"
                         "pager=alice pagerid=1234567\n");
  int log[2];
  ASSERT_EQ(0, pipe2(log, O_CLOEXEC));
  pid_t first = start_program(conf, "cut off", log[1]);
  ASSERT_GE(first, 0);
  close(log[1]);
  std::string seen;
  bool logging_in = read_until(log[0], "logging into", seen);
  held_still still(sim.pid());
  kill(first, SIGPIPE);
  EXPECT_EQ(128 + SIGPIPE, exit_code(first)) << seen;
  close(log[0]);
  ASSERT_TRUE(logging_in) << seen;

  std::string next_log = dir_.file("next.log");
  int out = open(next_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(out, 0);
  pid_t next = start_program(conf, "right after", out);
  close(out);
  // Its line is set up (or not) before the simulator runs again.
  auto set_up = [&] {
    std::string l = testsupport::read_file(next_log);
    return l.find("initializing modem") != std::string::npos ||
           l.find("tcsetattr") != std::string::npos;
  };
  testsupport::wait_until(set_up, std::chrono::seconds(20));
  still.release();
  EXPECT_EQ(0, exit_code(next)) << testsupport::read_file(next_log);
  EXPECT_TRUE(delivered(sim, "right after")) << sim.record();
  EXPECT_FALSE(delivered(sim, "cut off")) << sim.record();
}

// Every row takes at least 0.9 s only if the paced direction is paced: at
// 300 baud 30 characters take 1 s, and the other direction carries few.
TEST_F(TapsimTest, PacedLineTakesTheTimeOfItsRate) {
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string send, expect;
  };
  const std::string x30(30, 'x'), y100(100, 'y');
  const std::vector<row> rows = {
      // The caller's line turns LF into CR.
      {"sending: 3 characters in, 33 out",
       {"--baud", "300", "--echo", "no", "--init-reply", x30},
       "AT\r",
       x30 + "\r"},
      {"reading: 30 characters in, 5 out",
       {"--baud", "300", "--echo", "no"},
       "AT" + std::string(27, 'Z') + "\r",
       "OK\r"},
      {"any rate: 3 characters in, 103 out at 1000 baud",
       {"--baud", "1000", "--echo", "no", "--init-reply", y100},
       "AT\r",
       y100 + "\r"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    pty_sim sim(r.args);
    int fd = open_line(sim.device(), 300);
    ASSERT_GE(fd, 0);
    auto start = Clock::now();
    ASSERT_TRUE(say(fd, r.send));
    EXPECT_TRUE(await(fd, r.expect, 10000));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    close(fd);
  }
}

TEST_F(TapsimTest, DeliveryOverAPacedLine) {
  pty_sim sim({"--baud", "2400"});
  auto r = deliver(sim, "slow but sure", " baudrate=2400");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(delivered(sim, "slow but sure")) << r.out << sim.record();
}

TEST(TapsimOptions, BaudMustBeAPositiveNumber) {
  for (const char* bad : {"0", "-300", "fast", "300x", ""}) {
    auto r = testsupport::run({testsupport::tapsim_path(), "--baud", bad, "--lifetime", "1"});
    EXPECT_EQ(r.status, 2) << bad << r.out << r.err;
  }
}

}  // namespace
