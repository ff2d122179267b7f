// Helpers for tests that drive the program from outside.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct run_result {
  int status = -1;         // exit status, or 128 + signal
  std::string out;         // standard output
  std::string err;         // standard error
  bool timed_out = false;  // killed after the time limit
};

struct run_options {
  std::string input;                                      // standard input
  bool close_stdin = true;                                // close after writing input
  std::map<std::string, std::optional<std::string>> env;  // nullopt unsets
  std::chrono::milliseconds limit{20000};
  std::string cwd;
};

// Runs `argv` (argv[0] is the program path) and collects its output.
run_result run(const std::vector<std::string>& argv, const run_options& opts = {});

// Runs the callvane binary with the given arguments (argv[0] is "callvane").
run_result run_callvane(const std::vector<std::string>& args, const run_options& opts = {});

std::string callvane_path();
std::string source_dir();
std::string tools_dir();

// A fresh directory under /tmp, removed with everything in it at the end.
// Mode 0755 so that the user the program drops to can reach it.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& contents, int mode = 0644) const;

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
// Whether `text` holds `piece`; the message shows both either way.
::testing::AssertionResult contains(const std::string& text, const std::string& piece);
// Reads `fd` into `seen` until it holds `text` (true), or until the end of
// the input or `limit` (false).
bool read_until(int fd, const std::string& text, std::string& seen,
                std::chrono::milliseconds limit);

// A text of exactly `length` characters made of short words, so that every
// piece cut from it breaks at a blank; it never ends in a blank.
std::string short_words(size_t length);

// Sets the local time zone (TZ) for the life of the object.
class time_zone {
 public:
  explicit time_zone(const char* tz);
  ~time_zone();
  time_zone(const time_zone&) = delete;
  time_zone& operator=(const time_zone&) = delete;

 private:
  std::optional<std::string> saved_;
};

// Seconds since the epoch of a UTC calendar time (fields may overflow).
int64_t utc(int year, int mon, int day, int hour, int min, int sec = 0);
bool file_exists(const std::string& path);
// Entries of a directory other than those starting with a dot; -1 when it
// cannot be read.
int count_entries(const std::string& dir);
// The names in a directory in the order the system returns them; those
// starting with a dot only with `dot_files` (never "." and "..").
std::vector<std::string> dir_names(const std::string& dir, bool dot_files = false);

// Runs `body` in a forked child whose standard output and error go to
// files; for code that changes the process for good (privileges, signal
// handlers). The child exits with what `body` returns.
struct child_result {
  int status = -1;  // exit status, or 128 + signal
  std::string out, err;
};
child_result in_child(const std::function<int()>& body);
// Waits for the child `pid`: its exit status, 128 + signal, or -1.
int exit_code(pid_t pid);

// Starts a test peer (argv[0] is its path) with standard input on /dev/null
// and waits until it prints "ready" on its standard output; throws when it
// does not within 10 s.
pid_t start_peer(const std::vector<std::string>& argv);
// Ends a child we started: at once, or after `grace` when it may finish.
void end_child(pid_t& pid, std::chrono::milliseconds grace);

// Captures what the calling process writes to stdout or stderr meanwhile.
class capture_fd {
 public:
  explicit capture_fd(int fd);
  ~capture_fd();
  std::string finish();  // restores the descriptor and returns the text

 private:
  int fd_;
  int saved_;
  std::string path_;
  bool done_ = false;
};

}  // namespace testsupport
