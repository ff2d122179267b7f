// Buffered byte input from a descriptor, with optional deadlines.
//
// Time-outs are kept with a deadline and poll(2) rather than alarm() and a
// jump, so no C++ frame is ever skipped. Reads interrupted by a signal are
// resumed with the time that is left.
#pragma once

#include <chrono>
#include <optional>

namespace callvane {

using mono_clock = std::chrono::steady_clock;
using time_limit = std::optional<mono_clock::time_point>;

inline time_limit deadline_after(std::chrono::milliseconds ms) { return mono_clock::now() + ms; }

class in_stream {
 public:
  static constexpr int END = -1;      // end of stream or read error
  static constexpr int TIMEOUT = -2;  // the deadline passed first

  explicit in_stream(int fd, bool owns_fd = false) : fd_(fd), owns_(owns_fd) {}
  ~in_stream();
  in_stream(const in_stream&) = delete;
  in_stream& operator=(const in_stream&) = delete;

  // Next byte (0..255), END or TIMEOUT. Without a deadline it waits for ever.
  int get(const time_limit& deadline = std::nullopt);
  // Puts one byte back to be read next.
  void unget(int c) { pushed_ = c; }
  // True once the stream has reported its end (no more bytes will come).
  bool at_end() const { return ended_ && pushed_ < 0 && pos_ >= len_; }
  int fd() const { return fd_; }
  // Closes the descriptor now (when owned); further reads see END.
  void close();

 private:
  bool fill(const time_limit& deadline, bool& timed_out);

  int fd_;
  bool owns_;
  bool ended_ = false;
  int pushed_ = -1;
  size_t pos_ = 0;
  size_t len_ = 0;
  unsigned char buf_[4096];
};

}  // namespace callvane
