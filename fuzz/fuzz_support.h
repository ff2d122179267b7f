// Shared set-up for the fuzz targets: a private working directory and inputs as descriptors.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/fileio.h"

namespace callvane_fuzz {

// The private directory of this process, made once. Memory backed when it
// can be: queue writers sync every file.
inline const std::string& private_dir() {
  static const std::string dir = [] {
    char name[] = "/dev/shm/callvane-fuzz.XXXXXX";
    char fallback[] = "/tmp/callvane-fuzz.XXXXXX";
    char* made = mkdtemp(name);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) {
      perror("callvane fuzz: private directory");
      abort();
    }
    return std::string(made);
  }();
  return dir;
}

// Works in the private directory for one run, so that every file a target
// writes stays out of the source tree, and returns to where libFuzzer was:
// it reads and writes corpus paths relative to that.
class in_private_dir {
 public:
  in_private_dir() : back_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (back_ < 0 || chdir(private_dir().c_str()) != 0) abort();
  }
  ~in_private_dir() {
    if (fchdir(back_) != 0) abort();
    close(back_);
  }
  in_private_dir(const in_private_dir&) = delete;
  in_private_dir& operator=(const in_private_dir&) = delete;

 private:
  int back_;
};

// Replaces `name` in the current directory with exactly `size` bytes.
inline void put_file(const char* name, const uint8_t* data, size_t size) {
  FILE* f = fopen(name, "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();
}

// An in-memory file holding exactly the input, read from its start: a
// reader sees its end after the last byte, so every run ends.
inline int input_descriptor(const uint8_t* data, size_t size) {
  int fd = memfd_create("fuzz-input", MFD_CLOEXEC);
  if (fd < 0) abort();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!callvane::write_all(fd, bytes) || lseek(fd, 0, SEEK_SET) != 0) abort();
  return fd;
}

// Most bytes a peer_said socket carries: all of it must fit the socket's
// buffer at once, and no reader here looks at more.
inline constexpr size_t PEER_INPUT_MAX = 16384;

// One end of a connected socket whose other end has said the input (its
// first PEER_INPUT_MAX bytes) and then closed its sending side, so every
// read ends without waiting. What is written to it is left unread there.
class peer_said {
 public:
  peer_said(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    ours_ = fds[0];
    peer_ = fds[1];
    std::string_view bytes(reinterpret_cast<const char*>(data), std::min(size, PEER_INPUT_MAX));
    if (!callvane::write_all(peer_, bytes) || shutdown(peer_, SHUT_WR) != 0) abort();
  }
  ~peer_said() {
    close(ours_);
    close(peer_);
  }
  peer_said(const peer_said&) = delete;
  peer_said& operator=(const peer_said&) = delete;

  int fd() const { return ours_; }

 private:
  int ours_;
  int peer_;
};

}  // namespace callvane_fuzz
