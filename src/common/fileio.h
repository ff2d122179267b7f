// Descriptors that close themselves, and whole writes to them.
#pragma once

#include <unistd.h>

#include <string_view>

namespace callvane {

// Closes its descriptor when it goes out of scope.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  ~unique_fd() { reset(); }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Writes all of `data`, resuming after signals; false with errno set when a
// write fails (EIO for a write that took nothing).
bool write_all(int fd, std::string_view data);

}  // namespace callvane
