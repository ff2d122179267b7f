// Buffered byte input from a descriptor, with optional deadlines.
//
// Time-outs are kept with a deadline and poll(2) rather than alarm() and a
// jump, so no C++ frame is ever skipped. Reads interrupted by a signal are
// resumed with the time that is left.
#pragma once

#include <chrono>
#include <optional>

namespace callvane {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

inline Deadline deadline_after(std::chrono::milliseconds ms) { return Clock::now() + ms; }

class InStream {
 public:
  static constexpr int END = -1;      // end of stream or read error
  static constexpr int TIMEOUT = -2;  // the deadline passed first

  explicit InStream(int fd, bool owns_fd = false) : fd_(fd), owns_(owns_fd) {}
  ~InStream();
  InStream(const InStream&) = delete;
  InStream& operator=(const InStream&) = delete;

  // Next byte (0..255), END or TIMEOUT. Without a deadline it waits for ever.
  int get(const Deadline& deadline = std::nullopt);
  // Puts one byte back to be read next.
  void unget(int c) { pushed_ = c; }
  // True once the stream has reported its end (no more bytes will come).
  bool at_end() const { return ended_ && pushed_ < 0 && pos_ >= len_; }
  int fd() const { return fd_; }
  // Closes the descriptor now (when owned); further reads see END.
  void close();

 private:
  bool fill(const Deadline& deadline, bool& timed_out);

  int fd_;
  bool owns_;
  bool ended_ = false;
  int pushed_ = -1;
  size_t pos_ = 0;
  size_t len_ = 0;
  unsigned char buf_[4096];
};

}  // namespace callvane
