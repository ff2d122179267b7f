// Shared by the benchmarks: statistics, scratch spools for the user uucp,
// child processes and the network namespace.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/fileio.h"

namespace bench {

inline constexpr uid_t RUN_AS = 10;  // uucp, whom the program becomes

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t at = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

// A scratch tree with spool, locks and run directories that uucp can use,
// removed with everything in it at the end.
class scratch {
 public:
  explicit scratch(const std::string& base) {
    std::string tmpl = base + "/callvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      perror("mkdtemp");
      exit(1);
    }
    path_ = tmpl;
    chmod(path_.c_str(), 0777);
    for (const char* sub : {"/spool", "/locks", "/run"}) {
      mkdir((path_ + sub).c_str(), 0777);
      chmod((path_ + sub).c_str(), 0777);
    }
  }
  ~scratch() { nftw(path_.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS); }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string spool() const { return path_ + "/spool"; }
  std::string locks() const { return path_ + "/locks"; }
  std::string conf() const { return path_ + "/callvane.conf"; }

 private:
  static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
  }
  std::string path_;
};

// Writes a whole file, owned by uucp when we are root.
inline bool write_text(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = callvane::write_all(fd, text);
  if (geteuid() == 0 && fchown(fd, RUN_AS, RUN_AS) != 0) ok = false;
  return close(fd) == 0 && ok;
}

// ---- child processes ----

using mono_clock = std::chrono::steady_clock;

// Starts a program in a process group of its own, standard output on a pipe
// (when `out` is given) or /dev/null, standard error to `err_path` (or
// /dev/null). The alarm is kept across exec, so even an orphan ends by itself.
inline pid_t start_program(const std::vector<std::string>& argv, int* out,
                           const std::string& err_path, int limit_seconds) {
  int fds[2] = {-1, -1};
  if (out != nullptr && pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    int err = err_path.empty() ? null : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(out != nullptr ? fds[1] : null, 1);
    dup2(err < 0 ? null : err, 2);
    if (out != nullptr) {
      close(fds[0]);
      close(fds[1]);
    }
    alarm(static_cast<unsigned>(limit_seconds));
    std::vector<const char*> args;
    for (const std::string& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    execvp(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  if (out != nullptr) {
    close(fds[1]);
    *out = pid > 0 ? fds[0] : (close(fds[0]), -1);
  }
  return pid;
}

// Waits for a child at most `ms` milliseconds; its status, or -1 while it runs.
inline int wait_child(pid_t pid, int ms) {
  auto until = mono_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    if (mono_clock::now() >= until) return -1;
    usleep(2000);
  }
}

// Ends the process group a child leads (with whatever it forked that kept
// the group): SIGTERM, `grace_ms` to go, then SIGKILL.
inline void end_group(pid_t pid, int grace_ms = 5000) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  bool gone = wait_child(pid, grace_ms) >= 0;
  kill(-pid, SIGKILL);
  if (!gone) waitpid(pid, nullptr, 0);
  // Orphans of the group come to a subreaper.
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// The first `count` lines a child writes on `fd`, within `ms` milliseconds.
inline std::vector<std::string> first_lines(int fd, size_t count, int ms) {
  std::vector<std::string> lines(1);
  auto until = mono_clock::now() + std::chrono::milliseconds(ms);
  while (lines.size() <= count && mono_clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char c;
    if (read(fd, &c, 1) != 1) break;
    if (c == '\n')
      lines.emplace_back();
    else
      lines.back() += c;
  }
  lines.pop_back();
  return lines;
}

// The last line of a log, after ": ", to say why something failed.
inline std::string last_log_line(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last.empty() ? "" : ": " + last;
}

// Queue files in a spool, pending (P) or set aside (B); -1 when unreadable.
inline long queue_files(const std::string& spool) {
  DIR* d = opendir(spool.c_str());
  if (d == nullptr) return -1;
  long n = 0;
  while (struct dirent* e = readdir(d)) n += e->d_name[0] == 'P' || e->d_name[0] == 'B';
  closedir(d);
  return n;
}

// ---- network ----

// A private network namespace with lo up, so all traffic stays in it; with
// `reuse_ports`, many short connections may reuse closed ports.
inline bool enter_private_network(bool reuse_ports = false) {
  if (unshare(CLONE_NEWNET) != 0) {
    perror("unshare(CLONE_NEWNET)");
    return false;
  }
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct ifreq ifr {};
  strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
  close(fd);
  if (!ok) perror("bringing lo up");
  if (reuse_ports) write_text("/proc/sys/net/ipv4/tcp_tw_reuse", "1\n");
  return ok;
}

inline sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

// Something listens on 127.0.0.1:port within `ms` milliseconds.
inline bool listening_on(uint16_t port, int ms) {
  auto until = mono_clock::now() + std::chrono::milliseconds(ms);
  while (mono_clock::now() < until) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback_address(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    if (ok) return true;
    usleep(20000);
  }
  return false;
}

// Reads the replies of an SNPP server whose reads time out (SO_RCVTIMEO).
class snpp_replies {
 public:
  explicit snpp_replies(int fd) : fd_(fd) {}
  // The code of the next reply, continuation lines ("NNN-") skipped; 0 on failure.
  int next(std::string& line) {
    for (int lines = 0; lines < 64; lines++) {
      if (!next_line(line) || line.size() < 3) return 0;
      if (line.size() > 3 && line[3] == '-') continue;
      return atoi(line.substr(0, 3).c_str());
    }
    return 0;
  }

  // One line without its line end, of at most MAX_REPLY bytes; false at
  // the end, a time-out or a longer line.
  bool next_line(std::string& line) {
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (buf_.size() > MAX_REPLY) return false;
      char chunk[512];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  static constexpr size_t MAX_REPLY = 1024;
  int fd_;
  std::string buf_;
};

}  // namespace bench
