// The simulator's side of the pseudo-terminal: who is on the line, and the
// pace at which characters cross it.
#include "line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace callvane::tapsim {

namespace {

using namespace std::chrono_literals;

constexpr size_t CHUNK = 512;
// However long a wait, DTR is looked at this often.
constexpr auto DTR_CHECK = 20ms;

timespec to_timespec(std::chrono::nanoseconds d) {
  if (d < 0ns) d = 0ns;
  auto s = std::chrono::duration_cast<std::chrono::seconds>(d);
  return {static_cast<time_t>(s.count()), static_cast<long>((d - s).count())};
}

bool write_all(int fd, const char* p, size_t left) {
  while (left > 0) {
    ssize_t w = write(fd, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;  // the caller's input is full: the rest is lost, as on a line
    p += w;
    left -= static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

line::~line() {
  if (watch_ >= 0) close(watch_);
  if (fd_ >= 0) close(fd_);
}

bool line::open() {
  int slave = -1;
  char name[256];
  if (openpty(&fd_, &slave, name, nullptr, nullptr) != 0) return false;
  device_ = name;
  // Nobody holds the slave between calls, so that the master sees the last
  // descriptor of a caller close however the caller ends (a caller killed
  // in the middle of a call never drops DTR). The master alone keeps the
  // device and its settings.
  close(slave);
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  // Opens and closes of the slave, counted: every caller's arrival wakes us
  // at once, and one that leaves while the next is already there is seen.
  // Without them the master's hang-up, looked at now and then, has to do.
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
    close(watch_);
    watch_ = -1;
  }
  idle();
  return true;
}

void line::pace(long baud) {
  char_time_ = baud > 0 ? std::chrono::duration_cast<clock::duration>(
                              std::chrono::duration<double>(10.0 / static_cast<double>(baud)))
                        : clock::duration::zero();
}

void line::count_opens() {
  alignas(inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(watch_, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
      if (e->mask & IN_OPEN) {
        openers_++;
      } else if ((e->mask & IN_CLOSE) && openers_ > 0 && --openers_ == 0) {
        closed_ = true;
      } else if (e->mask & IN_Q_OVERFLOW) {
        openers_ = 0;  // lost count: the master's hang-up tells
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

void line::look(short events, clock::duration timeout) {
  pollfd p[2] = {{watch_, POLLIN, 0}, {fd_, events, 0}};
  timespec ts = to_timespec(timeout), now{0, 0};
  if (present_) {
    if (ppoll(p, 2, &ts, nullptr) < 0) return;  // a signal: the main loop decides
  } else {
    // With nobody on the line the master reports a hang-up at once: only an
    // open of the slave, or the time, is worth waking for.
    if (ppoll(p, 1, &ts, nullptr) < 0 || ppoll(p + 1, 1, &now, nullptr) < 0) return;
  }
  if (p[0].revents & POLLIN) count_opens();
  bool hung_up = p[1].revents & POLLHUP;  // no slave descriptor is open
  // A caller we saw, or one that came and went between two looks (it left
  // its settings or its bytes behind), has left.
  if (closed_ || (hung_up && (present_ || (p[1].revents & POLLIN) || speed() != B0))) left_ = true;
  closed_ = false;
  present_ = !hung_up;
  if ((p[1].revents & POLLIN) && char_time_ > clock::duration::zero() && !seen_)
    seen_ = clock::now();
}

void line::arrived() {
  // Whoever wrote this opened the line after we last looked.
  if (!left_) present_ = true;
}

bool line::wait(int ms) {
  clock::duration timeout = std::chrono::milliseconds(ms);
  if (!left_) {
    short events = POLLIN;
    if (!unread_.empty()) {
      timeout = clock::duration::zero();
    } else if (seen_) {
      // Input is there; wake when its first character has crossed the line.
      events = 0;
      timeout = std::min(timeout, std::max(in_free_, *seen_) + char_time_ - clock::now());
    }
    look(events, timeout);
  }
  if (!left_) return true;
  left_ = false;
  return false;
}

int line::take() {
  if (char_time_ == clock::duration::zero()) {
    if (unread_.empty()) {
      char buf[CHUNK];
      ssize_t n = read(fd_, buf, sizeof buf);
      if (n <= 0) return -1;
      arrived();
      unread_.assign(buf, static_cast<size_t>(n));
      traffic_.from_caller += n;
    }
    unsigned char c = static_cast<unsigned char>(unread_[0]);
    unread_.erase(0, 1);
    return c;
  }
  if (!seen_) look(POLLIN, clock::duration::zero());
  if (!seen_) return -1;
  // Characters follow each other no closer than one character time; those
  // that waited while we were sending have crossed the line meanwhile.
  auto due = std::max(in_free_, *seen_) + char_time_;
  if (clock::now() < due) return -1;
  unsigned char c;
  ssize_t n = read(fd_, &c, 1);
  auto first = seen_;
  seen_.reset();
  if (n != 1) return -1;
  arrived();
  traffic_.from_caller++;
  in_free_ = due;
  look(POLLIN, clock::duration::zero());
  if (seen_) seen_ = first;  // more of the same burst
  return c;
}

std::string line::drain() {
  std::string all = unread_;
  size_t unread_before = unread_.size();  // counted when it was read
  unread_.clear();
  seen_.reset();
  char buf[CHUNK];
  // Bounded: a caller that never stops writing does not hold us here.
  for (int i = 0; i < 64; i++) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    all.append(buf, static_cast<size_t>(n));
  }
  traffic_.from_caller += static_cast<long>(all.size() - unread_before);
  return all;
}

bool line::hold(clock::time_point t, speed_t since) {
  for (;;) {
    if (left_ || !present_ || stop_) return false;
    if (since != B0 && speed() == B0) return false;
    auto now = clock::now();
    if (now >= t) return true;
    bool paced = char_time_ > clock::duration::zero();
    look(paced && !seen_ ? POLLIN : 0, std::min<clock::duration>(t - now, DTR_CHECK));
  }
}

void line::send(const std::string& s) {
  if (!present_ || left_) return;  // nobody to hear it
  if (char_time_ == clock::duration::zero()) {
    if (write_all(fd_, s.data(), s.size())) traffic_.to_caller += static_cast<long>(s.size());
    return;
  }
  speed_t since = speed();
  for (char c : s) {
    auto slot = std::max(clock::now(), out_free_) + char_time_;
    if (!hold(slot, since)) return;
    out_free_ = slot;
    if (!write_all(fd_, &c, 1)) return;
    traffic_.to_caller++;
  }
}

void line::pause(int ms) { hold(clock::now() + std::chrono::milliseconds(ms), speed()); }

line::traffic line::take_traffic() {
  traffic t = traffic_;
  traffic_ = {};
  return t;
}

speed_t line::speed() const {
  // On Linux the master reads the slave's settings.
  termios t{};
  if (tcgetattr(fd_, &t) != 0) return B0;
  return cfgetospeed(&t);
}

void line::idle() {
  // Speed 0, which no caller asks for: a pseudo-terminal keeps only 8 bits
  // without parity, so a caller asking for 7E1 at the speed the line already
  // has would change nothing, and tcsetattr() reports that as EINVAL.
  termios t{};
  if (tcgetattr(fd_, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B0);
    cfsetospeed(&t, B0);
    tcsetattr(fd_, TCSANOW, &t);
  }
  tcflush(fd_, TCIOFLUSH);
  unread_.clear();
  seen_.reset();
}

}  // namespace callvane::tapsim
