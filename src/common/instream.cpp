#include "common/instream.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace callvane {

in_stream::~in_stream() { close(); }

void in_stream::close() {
  if (owns_ && fd_ >= 0) ::close(fd_);
  if (owns_) fd_ = -1;
  ended_ = true;
}

bool in_stream::fill(const time_limit& deadline, bool& timed_out) {
  timed_out = false;
  if (ended_ || fd_ < 0) return false;
  for (;;) {
    if (deadline) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - mono_clock::now());
      if (left.count() <= 0) {
        timed_out = true;
        return false;
      }
      struct pollfd pfd = {fd_, POLLIN, 0};
      int r = poll(&pfd, 1, static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30)));
      if (r < 0) {
        if (errno == EINTR) continue;
        ended_ = true;
        return false;
      }
      if (r == 0) continue;  // re-check the clock
    }
    ssize_t n = ::read(fd_, buf_, sizeof buf_);
    if (n > 0) {
      pos_ = 0;
      len_ = static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {fd_, POLLIN, 0};
      if (!deadline && poll(&pfd, 1, -1) < 0 && errno != EINTR) {
        ended_ = true;
        return false;
      }
      continue;
    }
    ended_ = true;
    return false;
  }
}

int in_stream::get(const time_limit& deadline) {
  if (pushed_ >= 0) {
    int c = pushed_;
    pushed_ = -1;
    return c;
  }
  if (pos_ < len_) return buf_[pos_++];
  bool timed_out = false;
  if (!fill(deadline, timed_out)) return timed_out ? TIMEOUT : END;
  return buf_[pos_++];
}

}  // namespace callvane
