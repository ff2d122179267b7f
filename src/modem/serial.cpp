// Serial line and byte input.
#include "modem/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

int wait_readable(int fd, time_limit until) {
  for (;;) {
    int ms = 0;
    if (until) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*until - mono_clock::now());
      ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, until ? ms : -1);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno == EINTR) continue;
    logmsg(LOG_DEBUG, "select() failed: %s", strerror(errno));
    return -1;
  }
}

// The network line, if one is open; serial lines have none.
int channel_fd = -1;
std::unique_ptr<line_channel> channel;

line_channel* channel_of(int fd) { return fd == channel_fd ? channel.get() : nullptr; }

// One byte before `until`, or -1.
int read_byte_until(int fd, time_limit until) {
  unsigned char c;
  if (line_channel* ch = channel_of(fd)) {
    int got = ch->read_byte(until);
    if (got < 0) return -1;
    c = static_cast<unsigned char>(got);
  } else {
    if (wait_readable(fd, until) <= 0) return -1;
    ssize_t n;
    do n = read(fd, &c, 1);
    while (n < 0 && errno == EINTR);
    if (n != 1) return -1;
  }
  if (debug >= 2)
    logmsg(LOG_DEBUG, "got byte: <%s>",
           safe_string(std::string_view(reinterpret_cast<char*>(&c), 1)));
  return c;
}

std::string packet;
bool packet_complete = false;

speed_t speed_of(unsigned baud) {
  switch (baud) {
    case 300:
      return B300;
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    default:
      return B0;
  }
}

// A line that cannot keep the framing asked for (a pseudo-terminal keeps 8
// bits without parity) takes the rest on the first setup, and tcsetattr()
// reports EINVAL on the next one, which changes nothing: say a run killed
// before it could drop DTR. Such a line is set up as far as it can be.
bool already_set(int fd, const termios& wanted) {
  const tcflag_t framing = CSIZE | PARENB | PARODD;
  termios now{};
  if (errno != EINVAL || tcgetattr(fd, &now) != 0) return false;
  return cfgetispeed(&now) == cfgetispeed(&wanted) && cfgetospeed(&now) == cfgetospeed(&wanted) &&
         now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
         now.c_lflag == wanted.c_lflag && (now.c_cflag & ~framing) == (wanted.c_cflag & ~framing) &&
         now.c_cc[VMIN] == wanted.c_cc[VMIN] && now.c_cc[VTIME] == wanted.c_cc[VTIME];
}

}  // namespace

namespace {
carrier_query carrier_override = nullptr;
}

void set_carrier_query(carrier_query query) { carrier_override = query; }

bool carrier_present(int fd) {
  if (carrier_override) return carrier_override(fd);
  int status = 0;
  if (ioctl(fd, TIOCMGET, &status) != 0) return false;
  return (status & TIOCM_CAR) != 0;
}

bool set_up_or_release(int& fd, const std::string& device, const service& svc) {
  if (setup_line(fd, svc) == 0) return true;
  close_line(fd);
  unlock_device(device);
  fd = -1;
  return false;
}

void hang_up_and_release(int& fd, const std::string& device) {
  if (fd < 0) return;
  hangup(fd);
  unlock_device(device);
  fd = -1;
}

int open_device(const std::string& device) {
  if (debug >= 1) logmsg(LOG_DEBUG, "trying modem device %s", device.c_str());
  if (lock_device(device) != 0) return -1;
  int fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    logmsg(LOG_INFO, "cannot open %s: %s", device.c_str(), strerror(errno));
    unlock_device(device);
    return -1;
  }
  tcflush(fd, TCIOFLUSH);
  if (carrier_present(fd)) {
    logmsg(LOG_INFO, "carrier detect is already present!");
    hangup(fd);
    unlock_device(device);
    if (lock_device(device) != 0) return -1;
    fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
      logmsg(LOG_INFO, "cannot open %s: %s", device.c_str(), strerror(errno));
      unlock_device(device);
      return -1;
    }
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    logmsg(LOG_DEBUG, "fcntl(F_GETFL): %s", strerror(errno));
  } else if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
    logmsg(LOG_DEBUG, "fcntl(F_SETFL): %s", strerror(errno));
  } else {
    return fd;
  }
  close_line(fd);
  unlock_device(device);
  return -1;
}

void close_line(int fd) {
  tcflush(fd, TCIOFLUSH);
  fcntl(fd, F_SETFL, O_NONBLOCK);
  close(fd);
}

bool line_settings(termios& t, const service& svc) {
  speed_t speed = speed_of(svc.baudrate);
  // Speed 0 would hang the line up instead of setting it.
  if (speed == B0) return false;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IGNCR | ICRNL | IXANY);
  t.c_iflag |= IGNBRK | ISTRIP | INLCR | IXON | IXOFF;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | CSIZE | PARENB | PARODD);
  t.c_cflag |= CREAD | HUPCL | CLOCAL;
  switch (svc.parity) {
    case PARITY_NONE:
      t.c_cflag |= CS8;
      break;
    case PARITY_ODD:
      t.c_cflag |= CS7 | PARENB | PARODD;
      break;
    default:
      t.c_cflag |= CS7 | PARENB;
      break;
  }
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ISIG | ICANON);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 10;
  return true;
}

int setup_line(int fd, const service& svc) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    logmsg(LOG_DEBUG, "tcgetattr(): %s", strerror(errno));
    return -1;
  }
  if (!line_settings(t, svc)) {
    logmsg(LOG_DEBUG, "tcsetattr(): %s", strerror(EINVAL));
    return -1;
  }
  if (tcsetattr(fd, TCSANOW, &t) != 0 && !already_set(fd, t)) {
    logmsg(LOG_DEBUG, "tcsetattr(): %s", strerror(errno));
    return -1;
  }
  return 0;
}

void hangup(int fd) {
  if (verbose()) logmsg(LOG_DEBUG, "hanging up modem");
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    logmsg(LOG_DEBUG, "tcgetattr(): %s", strerror(errno));
    close_line(fd);
    return;
  }
  cfsetispeed(&t, B0);
  cfsetospeed(&t, B0);
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    logmsg(LOG_DEBUG, "tcsetattr(): %s", strerror(errno));
    close_line(fd);
    return;
  }
  pause_seconds(1);
  if (carrier_present(fd)) {
    logmsg(LOG_INFO, "dropping DTR did not hang up the modem!");
    send_string(fd, "+++");
    expect(fd, "OK", 5);
    send_string(fd, "ATH0\r");
    expect(fd, "OK", 5);
  }
  close_line(fd);
}

void attach_channel(int fd, std::unique_ptr<line_channel> ch) {
  channel = std::move(ch);
  channel_fd = channel ? fd : -1;
}

bool line_closed(int fd) {
  line_channel* ch = channel_of(fd);
  return ch != nullptr && ch->closed();
}

bool send_bytes(int fd, std::string_view bytes) {
  if (line_channel* ch = channel_of(fd))
    return ch->write_all(bytes, deadline_after(std::chrono::seconds(WRITE_LIMIT_SECONDS)));
  // A line stopped by flow control (a stray XOFF) must not hold the write
  // for ever: write without blocking and give up after the time limit.
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  auto until = mono_clock::now() + std::chrono::seconds(WRITE_LIMIT_SECONDS);
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w > 0) {
      p += w;
      left -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) break;
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - mono_clock::now()).count();
    if (ms <= 0) break;
    pollfd pfd{fd, POLLOUT, 0};
    if (poll(&pfd, 1, static_cast<int>(ms)) < 0 && errno != EINTR) break;
  }
  if (flags >= 0 && !(flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags);
  return left == 0;
}

void send_string(int fd, const char* text) {
  if (text == nullptr) return;
  if (debug >= 1) logmsg(LOG_DEBUG, "sending <%s>", safe_string(text));
  send_bytes(fd, text);
}

int read_byte(int fd, int seconds) {
  return read_byte_until(fd, deadline_after(std::chrono::seconds(seconds < 0 ? 0 : seconds)));
}

std::optional<std::string> getpacket(int fd, int seconds, const time_limit& overall) {
  if (packet_complete) {
    packet.clear();
    packet_complete = false;
  }
  for (;;) {
    time_limit until = deadline_after(std::chrono::seconds(seconds < 0 ? 0 : seconds));
    if (overall && *overall < *until) until = overall;
    int c = read_byte_until(fd, until);
    if (c < 0) return std::nullopt;
    if (c == '\0' || c == '\n') continue;
    if (c == '\r') break;
    packet.push_back(static_cast<char>(c));
    if (packet.size() >= PACKET_MAX) {
      logmsg(LOG_NOTICE, "getpacket() buffer is full!");
      break;
    }
  }
  packet_complete = true;
  if (debug >= 1)
    logmsg(LOG_DEBUG, "getpacket() got %d bytes: <%s>", static_cast<int>(packet.size()),
           safe_string(packet));
  return packet;
}

int expect(int fd, const char* text, int seconds) {
  if (debug >= 1) logmsg(LOG_DEBUG, "looking for <%s>", safe_string(text));
  // The limit is per byte; a peer that never stops talking is still cut
  // off after twice that time in all.
  time_limit overall = deadline_after(std::chrono::seconds(2 * (seconds < 1 ? 1 : seconds)));
  for (;;) {
    auto p = getpacket(fd, seconds, overall);
    if (!p) break;
    if (*p == text) {
      if (debug >= 1) logmsg(LOG_DEBUG, "found <%s>", safe_string(text));
      return 1;
    }
  }
  if (debug >= 1) logmsg(LOG_DEBUG, "didn't find <%s>", safe_string(text));
  return 0;
}

void reset_packet_buffer() {
  packet.clear();
  packet_complete = false;
}

void pause_seconds(int seconds) {
  timespec left{seconds, 0};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace callvane
