// Running the SNPP daemon as in production for a test, and talking to it.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "support/support.h"

namespace testsupport {

using namespace std::chrono_literals;

// A spool and a lock directory the run-as user uucp can use, a pid file
// path outside the spool, and the configuration that names them.
class daemon_setup {
 public:
  daemon_setup();
  std::string spool() const { return dir_.file("spool"); }
  std::string pidfile() const { return dir_.file("callvane.pid"); }
  const temp_dir& dir() const { return dir_; }
  // The directories, pidfile, identtimeout=0 and snpptimeout=2, then `body`.
  std::string write_config(const std::string& body = "") const;
  // As write_config, with the modem `device` as service default and pager
  // alice (1234567) on it before `body`.
  std::string write_sim_config(const std::string& device, const std::string& body = "") const;
  // Names in the spool, sorted; with a prefix, only those that start with it.
  std::vector<std::string> spool_files(const std::string& prefix = "") const;

 private:
  temp_dir dir_;
};

// One daemon, started as root in the calling test's namespaces. With
// `foreground` it runs with -d and its log goes to a file; without, it
// detaches and is found through its pid file (the caller becomes the
// subreaper that collects it).
class daemon_process {
 public:
  daemon_process(const std::string& config, int interval, bool foreground = true,
                 const std::vector<std::string>& extra_args = {});
  ~daemon_process();
  daemon_process(const daemon_process&) = delete;
  daemon_process& operator=(const daemon_process&) = delete;

  pid_t pid() const { return pid_; }
  std::string log() const;
  size_t count_in_log(const std::string& text) const;
  // Waits until the log holds `text` at least `count` times.
  bool wait_for_log(const std::string& text, size_t count = 1,
                    std::chrono::milliseconds limit = 20s) const;
  void signal(int signo) const;
  // Ends the first wait (SIGHUP) and waits until the queue run that starts
  // is over, so that from then on only requests start runs.
  bool first_run_done() const;
  // SIGTERM, then the exit status (or 128 + signal); SIGKILL after `limit`.
  int stop(std::chrono::milliseconds limit = 10s);

 private:
  pid_t pid_ = -1;
  std::string log_path_;
  std::unique_ptr<temp_dir> log_dir_;
};

// Processes whose parent is `pid`.
std::vector<pid_t> children_of(pid_t pid);
// Waits until `pid` has exactly `count` children.
bool wait_for_children(pid_t pid, size_t count, std::chrono::milliseconds limit = 20s);
// The value of one "Name:" line of /proc/<pid>/status, blanks folded.
std::string proc_status(pid_t pid, const std::string& name);
// The "socket:[<inode>]" texts of the sockets a process has open.
std::set<std::string> sockets_of(pid_t pid);
// User plus system CPU time of a process, in clock ticks; -1 when unknown.
long long cpu_ticks(pid_t pid);

// The socket address of `host` (IPv4 or IPv6 text) and `port`; its length,
// or 0 when `host` is no address.
socklen_t socket_address(const std::string& host, int port, sockaddr_storage& addr);

// A client connection to `host` (IPv4 or IPv6 text; 127.0.0.1 by default)
// that reads CR LF lines; with `from`, bound to that local address first.
class snpp_connection {
 public:
  explicit snpp_connection(int port = 444) : snpp_connection("127.0.0.1", port) {}
  explicit snpp_connection(const std::string& host, int port = 444, const std::string& from = "");
  // Takes over `fd`, a socket already connected (say one of a pair).
  struct adopt {
    int fd;
  };
  explicit snpp_connection(adopt socket);
  ~snpp_connection();
  snpp_connection(const snpp_connection&) = delete;
  snpp_connection& operator=(const snpp_connection&) = delete;

  bool connected() const { return fd_ >= 0; }
  // The peer has closed its end (seen while reading).
  bool closed() const { return eof_; }
  // Sends everything, reading what comes back meanwhile so that neither
  // side can block the other; false when the peer stopped taking it.
  bool send(const std::string& bytes, std::chrono::milliseconds limit = 20s);
  // The next line without its CR LF; nullopt at the end or after `limit`.
  std::optional<std::string> line(std::chrono::milliseconds limit = 10s);
  // Reads until the peer closes; false after `limit`. Keeps what it read.
  bool wait_closed(std::chrono::milliseconds limit = 15s);
  // What came after the last line read, up to the peer's close (bounded).
  std::string rest(std::chrono::milliseconds limit = 10s);
  const std::string& received() const { return in_; }
  // Our own port of the connection.
  unsigned local_port() const;
  // The socket, for tests that misbehave on it (half-close, never read).
  int fd() const { return fd_; }
  void close();

 private:
  bool read_some(int timeout_ms);
  int fd_ = -1;
  bool eof_ = false;
  std::string in_;
  size_t pos_ = 0;
};

}  // namespace testsupport
