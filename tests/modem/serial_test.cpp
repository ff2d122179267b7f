// Device locks and the serial primitives, on real pseudo-terminals.
#include "modem/serial.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "common/settings.h"
#include "config/config.h"
#include "support/pty.h"
#include "support/support.h"

using namespace callvane;
using testsupport::capture_fd;
using testsupport::contains;
using testsupport::file_exists;
using testsupport::pty_pair;
using testsupport::read_file;
using testsupport::temp_dir;

namespace {

class Serial : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_lockdir_ = lockdir;
    lockdir = dir_.path();
    interactive = false;
    debug = 0;
    reset_packet_buffer();
  }
  void TearDown() override {
    lockdir = saved_lockdir_;
    interactive = false;
    debug = 0;
  }
  std::string lockfile(const std::string& base) const { return dir_.file("LCK.." + base); }
  // Runs `fn` with log lines going to standard output and returns them.
  template <typename Fn>
  std::string logged(Fn fn) {
    interactive = true;
    capture_fd cap(1);
    fn();
    std::string out = cap.finish();
    interactive = false;
    return out;
  }
  // The slave side of the test's pseudo-terminal, opened anew.
  int slave() const {
    int fd = pty.open_slave();
    if (fd < 0) throw std::runtime_error("cannot open " + pty.slave_name);
    return fd;
  }
  bool temp_lock_left() const { return file_exists(dir_.file("LTMP." + std::to_string(getpid()))); }

  temp_dir dir_;
  pty_pair pty;  // the test plays the modem on the master side
  std::optional<std::string> saved_lockdir_;
};

pid_t dead_pid() {
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

}  // namespace

TEST_F(Serial, LockFileHoldsPidWithMode0444AndNoTemporaryFileRemains) {
  std::string out = logged([] { EXPECT_EQ(lock_device("/dev/ttyS7"), 0); });
  EXPECT_TRUE(contains(out, "locking /dev/ttyS7\n"));
  char expected[32];
  snprintf(expected, sizeof expected, "%10lu\n", static_cast<unsigned long>(getpid()));
  EXPECT_EQ(read_file(lockfile("ttyS7")), expected);
  EXPECT_EQ(read_file(lockfile("ttyS7")).size(), 11u);
  struct stat st {};
  ASSERT_EQ(stat(lockfile("ttyS7").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_FALSE(temp_lock_left());

  out = logged([] { unlock_device("/dev/ttyS7"); });
  EXPECT_TRUE(contains(out, "unlocking /dev/ttyS7\n"));
  EXPECT_FALSE(file_exists(lockfile("ttyS7")));
}

TEST_F(Serial, LockNameIsTheLastPathComponent) {
  EXPECT_EQ(lock_name("/dev/cuaa1"), dir_.path() + "/LCK..cuaa1");
  EXPECT_EQ(lock_name("/a/b/c/modem"), dir_.path() + "/LCK..modem");
  EXPECT_FALSE(lock_name("cuaa1").has_value());
}

TEST_F(Serial, LiveOwnerKeepsTheLock) {
  ASSERT_EQ(lock_device("/dev/ttyS1"), 0);
  std::string out = logged([] { EXPECT_EQ(lock_device("/dev/ttyS1"), -1); });
  EXPECT_TRUE(contains(out, "/dev/ttyS1 already in use\n"));
  EXPECT_TRUE(file_exists(lockfile("ttyS1")));
  EXPECT_FALSE(temp_lock_left());
  unlock_device("/dev/ttyS1");
}

TEST_F(Serial, StaleLocksAreReplaced) {
  char dead[32];
  snprintf(dead, sizeof dead, "%10lu\n", static_cast<unsigned long>(dead_pid()));
  for (std::string content :
       {std::string(dead), std::string("         0\n"), std::string("not a pid\n"), std::string(""),
        std::string("-42\n"), std::string("99999999999999999999\n")}) {
    SCOPED_TRACE(content);
    dir_.write("LCK..ttyS2", content, 0444);
    EXPECT_EQ(lock_device("/dev/ttyS2"), 0);
    char mine[32];
    snprintf(mine, sizeof mine, "%10lu\n", static_cast<unsigned long>(getpid()));
    EXPECT_EQ(read_file(lockfile("ttyS2")), mine);
    EXPECT_FALSE(temp_lock_left());
    unlock_device("/dev/ttyS2");
  }
}

TEST_F(Serial, OwnerUnderAnotherUserCountsAsLive) {
  passwd* pw = getpwnam("uucp");
  if (pw == nullptr || geteuid() != 0) GTEST_SKIP() << "needs root and the user uucp";
  chmod(dir_.path().c_str(), 0777);
  ASSERT_EQ(lock_device("/dev/ttyS3"), 0);  // owned by this (root) process
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  pid_t child = fork();
  if (child == 0) {
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(3);
    // The probe of a root process is refused: the lock must stand.
    _exit(lock_device("/dev/ttyS3") == -1 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  char mine[32];
  snprintf(mine, sizeof mine, "%10lu\n", static_cast<unsigned long>(getpid()));
  EXPECT_EQ(read_file(lockfile("ttyS3")), mine);
  unlock_device("/dev/ttyS3");
}

TEST_F(Serial, DeviceWithoutSlashHasNoLock) {
  std::string out = logged([] {
    EXPECT_EQ(lock_device("ttyS4"), -1);
    unlock_device("ttyS4");
  });
  EXPECT_TRUE(contains(out, "cannot determine lock name for ttyS4\n"));
  EXPECT_FALSE(contains(out, "cannot unlock"));
  EXPECT_FALSE(temp_lock_left());
}

TEST_F(Serial, MissingLockDirectoryFailsCleanly) {
  lockdir = dir_.file("missing");
  std::string out = logged([] { EXPECT_EQ(lock_device("/dev/ttyS5"), -1); });
  EXPECT_TRUE(contains(out, "cannot create lockfile: "));
  lockdir = dir_.path();
  out = logged([] { unlock_device("/dev/ttyS6"); });
  EXPECT_TRUE(contains(out, "cannot unlock lock /dev/ttyS6: "));
}

TEST_F(Serial, OpenDeviceLocksAndReleasesOnFailure) {
  std::string base = pty.slave_name.substr(pty.slave_name.rfind('/') + 1);
  int fd = open_device(pty.slave_name);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(file_exists(lockfile(base)));
  // Blocking again after the non-blocking open.
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  // No carrier line on a pseudo-terminal, and no error either.
  EXPECT_FALSE(carrier_present(fd));
  // A second opener finds the device locked.
  EXPECT_EQ(open_device(pty.slave_name), -1);
  close_line(fd);
  unlock_device(pty.slave_name);
  EXPECT_FALSE(file_exists(lockfile(base)));

  std::string out = logged([] { EXPECT_EQ(open_device("/nonexistent/ttyQ9"), -1); });
  EXPECT_TRUE(contains(out, "cannot open /nonexistent/ttyQ9: "));
  EXPECT_FALSE(file_exists(lockfile("ttyQ9")));
}

TEST_F(Serial, LineSettingsFraming) {
  service svc;
  struct framing {
    int parity;
    tcflag_t size;
    bool parenb, parodd;
  };
  for (framing f : {framing{PARITY_NONE, CS8, false, false}, framing{PARITY_ODD, CS7, true, true},
                    framing{PARITY_EVEN, CS7, true, false}}) {
    SCOPED_TRACE(f.parity);
    svc.parity = f.parity;
    svc.baudrate = 9600;
    termios t{};
    // Start from every flag set, so that cleared ones show.
    t.c_iflag = t.c_oflag = t.c_cflag = t.c_lflag = ~tcflag_t{0};
    ASSERT_TRUE(line_settings(t, svc));
    EXPECT_EQ(t.c_cflag & CSIZE, f.size);
    EXPECT_EQ((t.c_cflag & PARENB) != 0, f.parenb);
    EXPECT_EQ((t.c_cflag & PARODD) != 0, f.parodd);
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & HUPCL, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_iflag & (INPCK | IGNCR | ICRNL | IXANY), 0u);
    EXPECT_EQ(t.c_iflag & (IGNBRK | ISTRIP | INLCR | IXON | IXOFF),
              IGNBRK | ISTRIP | INLCR | IXON | IXOFF);
    EXPECT_NE(t.c_iflag & IMAXBEL, 0u);  // other input modes stay
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ISIG | ICANON), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(t.c_cc[VTIME], 10);
  }
  termios t{};
  svc.baudrate = 1234;
  EXPECT_FALSE(line_settings(t, svc));
}

TEST_F(Serial, SetupLineOnATerminal) {
  int fd = slave();
  service svc;
  for (unsigned baud : {300u, 1200u, 2400u, 9600u, 19200u, 38400u, 57600u, 115200u}) {
    svc.baudrate = baud;
    EXPECT_EQ(setup_line(fd, svc), 0) << baud;
  }
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);
  EXPECT_NE(t.c_iflag & INLCR, 0u);
  svc.baudrate = 1234;
  EXPECT_EQ(setup_line(fd, svc), -1);
  close(fd);

  std::string out = logged([&] { EXPECT_EQ(setup_line(-1, svc), -1); });
  EXPECT_TRUE(contains(out, "tcgetattr(): "));
}

// A run killed before it dropped DTR leaves its settings on the line; the
// next run asks for the same, which a pseudo-terminal (8 bits, no parity)
// cannot take any further, and tcsetattr() reports EINVAL for that.
TEST_F(Serial, SetupLineTwiceAtTheSameSpeed) {
  int fd = slave();
  service svc;
  svc.baudrate = 300;
  for (int parity : {PARITY_EVEN, PARITY_ODD, PARITY_NONE}) {
    svc.parity = parity;
    EXPECT_EQ(setup_line(fd, svc), 0) << parity;
    EXPECT_EQ(setup_line(fd, svc), 0) << parity << ", again";
  }
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B300);
  close(fd);
}

TEST_F(Serial, HangupDropsDtrAndCloses) {
  int fd = slave();
  service svc;
  svc.baudrate = 2400;
  ASSERT_EQ(setup_line(fd, svc), 0);
  std::string out = logged([&] { hangup(fd); });
  EXPECT_TRUE(contains(out, "hanging up modem\n"));
  // Without a carrier line there is no "+++" fallback.
  EXPECT_FALSE(contains(out, "dropping DTR"));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
  termios t{};
  ASSERT_EQ(tcgetattr(pty.master, &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B0);
  EXPECT_EQ(pty.heard(), "");
}

TEST_F(Serial, SendWritesExactlyTheText) {
  int fd = slave();
  debug = 1;
  capture_fd cap(2);
  send_string(fd, "ATZ\r");
  send_string(fd, nullptr);
  std::string err = cap.finish();
  EXPECT_EQ(pty.heard(), "ATZ\r");
  EXPECT_EQ(err, "sending <ATZ\\r>\n");
  close(fd);
}

TEST_F(Serial, ReadByteReturnsEveryValueAndTimesOut) {
  int fd = slave();
  pty.say(
      std::string("\xff"
                  "\x00"
                  "A",
                  3));
  EXPECT_EQ(read_byte(fd, 1), 255);
  EXPECT_EQ(read_byte(fd, 1), 0);
  EXPECT_EQ(read_byte(fd, 1), 'A');
  EXPECT_EQ(read_byte(fd, 0), -1);
  EXPECT_EQ(read_byte(fd, 1), -1);
  close(fd);
  std::string out = logged([] { EXPECT_EQ(read_byte(-1, 0), -1); });
  EXPECT_EQ(out, "");
}

TEST_F(Serial, GetpacketLinesAndCarryOver) {
  int fd = slave();
  pty.say("OK\r");
  EXPECT_EQ(getpacket(fd, 1), "OK");
  pty.say("O");
  EXPECT_EQ(getpacket(fd, 1), std::nullopt);
  pty.say("K\r");
  EXPECT_EQ(getpacket(fd, 1), "OK");
  pty.say("\n\r");
  EXPECT_EQ(getpacket(fd, 1), "");
  pty.say(std::string("N\0O\n CAR\nRIER\r", 14));
  EXPECT_EQ(getpacket(fd, 1), "NO CARRIER");
  close(fd);
}

TEST_F(Serial, GetpacketCutsAtFullBuffer) {
  int fd = slave();
  std::string long_line;
  for (int i = 0; i < 2000; i++) long_line += static_cast<char>('a' + i % 26);
  pty.say(long_line);
  std::optional<std::string> first;
  std::string out = logged([&] { first = getpacket(fd, 1); });
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, long_line.substr(0, 1023));
  EXPECT_TRUE(contains(out, "getpacket() buffer is full!\n"));
  // The next call starts empty after that packet; without a CR it times out
  // and keeps the rest for the call after.
  EXPECT_EQ(getpacket(fd, 1), std::nullopt);
  pty.say("\r");
  EXPECT_EQ(getpacket(fd, 1), long_line.substr(1023));
  close(fd);
}

TEST_F(Serial, GetpacketLogsAtDebugLevel) {
  int fd = slave();
  pty.say("\x1b[p\r");
  debug = 2;
  capture_fd cap(2);
  auto p = getpacket(fd, 1);
  std::string err = cap.finish();
  EXPECT_EQ(p, "\x1b[p");
  EXPECT_TRUE(contains(err, "got byte: <\\e>\n"));
  EXPECT_TRUE(contains(err, "getpacket() got 3 bytes: <\\e[p>\n"));
  close(fd);
}

TEST_F(Serial, ExpectDropsOtherPackets) {
  int fd = slave();
  pty.say("ATZ\r\r\nOK\r\n");
  debug = 1;
  capture_fd cap(2);
  EXPECT_EQ(expect(fd, "OK", 1), 1);
  pty.say("ok\rOK \r");
  EXPECT_EQ(expect(fd, "OK", 1), 0);
  std::string err = cap.finish();
  EXPECT_TRUE(contains(err, "looking for <OK>\n"));
  EXPECT_TRUE(contains(err, "found <OK>\n"));
  EXPECT_TRUE(contains(err, "didn't find <OK>\n"));
  close(fd);
}

TEST_F(Serial, ExpectEndsAgainstEndlessTalk) {
  int fd = slave();
  // A talker that never sends the awaited line and never pauses for a
  // second: expect must still come back, with 0.
  pid_t talker = fork();
  if (talker == 0) {
    for (int i = 0; i < 400; i++) {
      if (write(pty.master, "RING\r", 5) < 0) _exit(0);
      usleep(20000);
    }
    _exit(0);
  }
  EXPECT_EQ(expect(fd, "OK", 1), 0);
  kill(talker, SIGKILL);
  waitpid(talker, nullptr, 0);
  close(fd);
}

TEST_F(Serial, WriteToAStoppedLineGivesUp) {
  int fd = slave();
  service svc;
  svc.baudrate = 9600;
  ASSERT_EQ(setup_line(fd, svc), 0);
  pty.say("\x13");  // XOFF: output stops
  pollfd p{fd, POLLIN, 0};
  poll(&p, 1, 200);
  // Far more than the line can buffer: without a limit this never returns.
  std::string big(1 << 20, 'x');
  EXPECT_FALSE(send_bytes(fd, big));
  // The descriptor is blocking again afterwards.
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
  close_line(fd);
}

namespace {
int carrier_calls = 0;
// Carrier on the first query only.
bool carrier_once(int) { return carrier_calls++ == 0; }
}  // namespace

TEST_F(Serial, HangupFallsBackToEscapeAndAth0) {
  int fd = slave();
  service svc;
  svc.baudrate = 9600;
  ASSERT_EQ(setup_line(fd, svc), 0);
  // The modem answers OK to both commands at once.
  pty.say("OK\rOK\r");
  carrier_calls = 0;
  set_carrier_query(carrier_once);
  debug = 1;
  capture_fd cap(2);
  hangup(fd);
  std::string err = cap.finish();
  set_carrier_query(nullptr);
  EXPECT_TRUE(contains(err, "dropping DTR did not hang up the modem!\n"));
  EXPECT_TRUE(contains(err, "sending <+++>\n"));
  EXPECT_TRUE(contains(err, "sending <ATH0\\r>\n"));
  // Both commands were answered (the line's output is discarded on close,
  // so the answers are what shows that they went out).
  size_t first = err.find("found <OK>\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(err.find("found <OK>\n", first + 1), std::string::npos);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST_F(Serial, OpenDeviceHangsUpALineThatIsAlreadyConnected) {
  carrier_calls = 0;
  set_carrier_query(carrier_once);
  int fd = -1;
  std::string out = logged([&] { fd = open_device(pty.slave_name); });
  set_carrier_query(nullptr);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(contains(out, "carrier detect is already present!\n"));
  EXPECT_TRUE(contains(out, "hanging up modem\n"));
  // Locked again, once, and still held.
  std::string base = pty.slave_name.substr(pty.slave_name.rfind('/') + 1);
  EXPECT_TRUE(file_exists(lockfile(base)));
  EXPECT_EQ(carrier_calls, 2);  // the second opening is not tested again
  close_line(fd);
  unlock_device(pty.slave_name);
}
