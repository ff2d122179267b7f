// Times start-ups of the program against a trivial one, and reads the
// resident memory of the idle daemon before and after many SNPP sessions.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_support.h"

extern char** environ;

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const uint16_t DAEMON_PORT = 444;      // snpp
const int REPLY_TIMEOUT_SECONDS = 15;  // one reply that takes longer is an error
const int BATCH_LIMIT_SECONDS = 300;   // no new session starts after this
const int READY_WAIT_MS = 10000;       // for the daemon to listen
const int STOP_WAIT_MS = 5000;         // for a process to go after SIGTERM
const int SETTLE_MS = 300;             // for the last sessions to be reaped
const int START_LIMIT_SECONDS = 10;    // one start that takes longer is killed
const int WARM_STARTS = 20;            // not timed: page cache and loader warm
const size_t MAX_LINE = 1024;
const char* const BANNER = "\nCallvane v3.3\n\n";

struct settings {
  int starts = 500;
  int rounds = 3;
  long sessions = 10000;
  int clients = 8;
  int page_every = 10;  // one session in this many queues a page
  std::string base = "/tmp";
};

// ---- start-up ----

struct program {
  const char* label;
  const char* path;
  std::vector<const char*> args;
};

// One start to the end of the process, in seconds; -1 when it failed.
double time_start(const program& p) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (const char* a : p.args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  pid_t pid;
  auto start = clock_type::now();
  int rc = posix_spawn(&pid, p.path, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  // The end of the process is awaited on its pidfd: at once, yet bounded.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd end{pidfd, POLLIN, 0};
  bool ended = pidfd >= 0 && poll(&end, 1, START_LIMIT_SECONDS * 1000) == 1;
  if (pidfd >= 0) close(pidfd);
  if (!ended) kill(pid, SIGKILL);
  int status = 0;
  bool reaped = waitpid(pid, &status, 0) == pid;
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  if (!ended || !reaped) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// What the program prints, through a pipe, to check that it is the version.
std::string output_of(const program& p) {
  int out[2];
  if (pipe(out) != 0) return "";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  std::vector<char*> argv;
  for (const char* a : p.args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, p.path, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  std::string text;
  char buf[256];
  pollfd in{out[0], POLLIN, 0};
  for (ssize_t n; rc == 0 && text.size() < MAX_LINE &&
                  poll(&in, 1, START_LIMIT_SECONDS * 1000) == 1 &&
                  (n = read(out[0], buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  close(out[0]);
  if (rc == 0) {
    kill(pid, SIGKILL);  // gone already, unless it hangs
    waitpid(pid, nullptr, 0);
  }
  return text;
}

struct start_stats {
  std::vector<double> p50, p90;
  long failed = 0;
};

// Rounds of starts, the programs interleaved start by start so that a
// passing disturbance of the machine falls on all of them alike.
std::vector<start_stats> measure_starts(const settings& cfg, const std::vector<program>& progs) {
  std::vector<start_stats> out(progs.size());
  for (int w = 0; w < WARM_STARTS; w++)
    for (const program& p : progs) time_start(p);
  for (int r = 0; r < cfg.rounds; r++) {
    std::vector<std::vector<double>> times(progs.size());
    for (int i = 0; i < cfg.starts; i++) {
      for (size_t k = 0; k < progs.size(); k++) {
        double t = time_start(progs[k]);
        if (t < 0)
          out[k].failed++;
        else
          times[k].push_back(t * 1e3);
      }
    }
    for (size_t k = 0; k < progs.size(); k++) {
      out[k].p50.push_back(percentile(times[k], 0.5));
      out[k].p90.push_back(percentile(times[k], 0.9));
      fprintf(stderr, "  round %d  %-28s median %6.3f ms  p90 %6.3f ms\n", r + 1, progs[k].label,
              out[k].p50.back(), out[k].p90.back());
    }
  }
  return out;
}

// ---- resident memory ----

// Fields of /proc/PID/status in KiB ("VmRSS", "RssAnon", ...); empty when
// the process is gone.
std::map<std::string, long> memory_of(pid_t pid) {
  std::map<std::string, long> kib;
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos || line.find(" kB") == std::string::npos) continue;
    kib[line.substr(0, colon)] = atol(line.c_str() + colon + 1);
  }
  return kib;
}

// Resident KiB by what is mapped (a file's base name, or [heap], [stack],
// anonymous), largest first.
std::vector<std::pair<long, std::string>> resident_by_mapping(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  std::map<std::string, long> by;
  std::string line, current;
  while (std::getline(in, line)) {
    if (line.rfind("Rss:", 0) == 0) {
      by[current] += atol(line.c_str() + 4);
    } else if (!line.empty() && isxdigit(static_cast<unsigned char>(line[0])) &&
               line.find('-') < line.find(' ')) {
      std::istringstream f(line);
      std::string range, perms, offset, dev, inode, path;
      f >> range >> perms >> offset >> dev >> inode >> path;
      current = path.empty() ? "(anonymous)" : path.substr(path.rfind('/') + 1);
    }
  }
  std::vector<std::pair<long, std::string>> out;
  for (const auto& [name, kb] : by)
    if (kb > 0) out.push_back({kb, name});
  std::sort(out.rbegin(), out.rend());
  return out;
}

// ---- the daemon and its clients ----

sockaddr_in loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

// Reads reply lines from a socket whose reads time out (SO_RCVTIMEO); the
// code of one reply, continuation lines ("NNN-") skipped, 0 on failure.
class replies {
 public:
  explicit replies(int fd) : fd_(fd) {}
  int next() {
    for (int lines = 0; lines < 64; lines++) {
      std::string line;
      if (!read_line(line) || line.size() < 3) return 0;
      if (line.size() > 3 && line[3] == '-') continue;
      return atoi(line.substr(0, 3).c_str());
    }
    return 0;
  }

 private:
  bool read_line(std::string& line) {
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        line = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return true;
      }
      if (buf_.size() > MAX_LINE) return false;
      char chunk[512];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }
  int fd_;
  std::string buf_;
};

// One session: the greeting and QUIT, or with `page` a whole page before
// the QUIT. Empty when every reply was the expected one, else what failed.
std::string one_session(long index, bool page) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "socket: " + std::string(strerror(errno));
  struct timeval tv = {REPLY_TIMEOUT_SECONDS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa = loopback(DAEMON_PORT);
  replies in(fd);
  std::vector<std::pair<std::string, int>> steps{{"", 220}};
  if (page) {
    steps.push_back({"PAGEr alice\r\n", 250});
    steps.push_back({"MESSage footprint benchmark page " + std::to_string(index) + "\r\n", 250});
    steps.push_back({"SEND\r\n", 250});
  }
  steps.push_back({"QUIT\r\n", 221});
  std::string failure;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
    failure = "connect: " + std::string(strerror(errno));
  for (size_t i = 0; failure.empty() && i < steps.size(); i++) {
    int code = steps[i].first.empty() || callvane::write_all(fd, steps[i].first) ? in.next() : 0;
    if (code != steps[i].second)
      failure = "step " + std::to_string(i) + " of " + std::to_string(steps.size()) + ": reply " +
                std::to_string(code);
  }
  close(fd);
  return failure;
}

// `sessions` sessions from `clients` concurrent clients; the failures.
long drive(const settings& cfg) {
  std::atomic<long> next{0}, failed{0};
  auto limit = clock_type::now() + std::chrono::seconds(BATCH_LIMIT_SECONDS);
  std::vector<std::thread> threads;
  for (int c = 0; c < cfg.clients; c++) {
    threads.emplace_back([&] {
      for (long i = next++; i < cfg.sessions && clock_type::now() < limit; i = next++)
        if (std::string why = one_session(i, i % cfg.page_every == 0);
            !why.empty() && failed++ == 0)
          fprintf(stderr, "    first failure: %s\n", why.c_str());
    });
  }
  for (auto& t : threads) t.join();
  return failed + std::max(0L, cfg.sessions - std::min(next.load(), cfg.sessions));
}

bool write_config(const scratch& s) {
  return write_text(s.conf(),
                    "queuedir=" + s.spool() + "\nlockdir=" + s.locks() + "\npidfile=" + s.path() +
                        "/run/callvane.pid\nidenttimeout=0\nsnpptimeout=10\nmaxsessions=0\n" +
                        "modem=null device=/dev/null\n"
                        "service=default device=null phone=5550100 password=pw\n"
                        "pager=alice pagerid=1111111\n");
}

// The daemon writes its pid file once it listens and has read its
// configuration; no session is made to find out.
bool wait_ready(const scratch& s, pid_t pid) {
  auto deadline = clock_type::now() + std::chrono::milliseconds(READY_WAIT_MS);
  while (clock_type::now() < deadline) {
    std::ifstream in(s.path() + "/run/callvane.pid");
    long written = 0;
    if (in >> written && written == pid) return true;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    usleep(10000);
  }
  return false;
}

// Ends the process group led by `pid` (the daemon and its sessions).
void stop_group(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGTERM);
  auto deadline = clock_type::now() + std::chrono::milliseconds(STOP_WAIT_MS);
  bool gone = false;
  while (!gone && clock_type::now() < deadline) {
    gone = waitpid(pid, nullptr, WNOHANG) == pid;
    if (!gone) usleep(10000);
  }
  kill(-pid, SIGKILL);  // whatever is left of the group
  if (!gone) waitpid(pid, nullptr, 0);
  while (waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

pid_t start_daemon(const scratch& s) {
  const std::string conf = s.conf(), log = s.path() + "/daemon.log";
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    execl(CALLVANE_BIN, "callvane", "-d", "-q", "-1", "-C", conf.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  if (pid > 0 && !wait_ready(s, pid)) {
    fprintf(stderr, "the daemon did not start; the end of its log:\n");
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) fprintf(stderr, "  %s\n", line.c_str());
    stop_group(pid);
    return -1;
  }
  return pid;
}

// Starts the trivial program idle and reads its memory.
std::map<std::string, long> idle_memory_of(const char* path) {
  pid_t pid;
  char* argv[] = {const_cast<char*>("hello"), const_cast<char*>("--idle"), nullptr};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  int rc = posix_spawn(&pid, path, &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return {};
  usleep(SETTLE_MS * 1000);
  auto kib = memory_of(pid);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return kib;
}

// The daemon's memory at the three points of a round, in KiB.
const char* const POINTS[] = {"at start", "after a batch", "after a 2nd batch"};
const char* const FIELDS[] = {"VmRSS", "RssAnon", "RssFile", "VmHWM"};
constexpr size_t N_POINTS = std::size(POINTS), N_FIELDS = std::size(FIELDS);

struct memory_round {
  long kib[N_POINTS][N_FIELDS] = {};
  long failed = 0;
  bool started = false;
  std::vector<std::pair<long, std::string>> mappings;
};

memory_round measure_memory(const settings& cfg) {
  memory_round m;
  scratch s(cfg.base);
  pid_t pid = write_config(s) ? start_daemon(s) : -1;
  if (pid < 0) return m;
  m.started = true;
  for (size_t point = 0; point < N_POINTS; point++) {
    if (point > 0) m.failed += drive(cfg);
    usleep(SETTLE_MS * 1000);
    auto kib = memory_of(pid);
    for (size_t f = 0; f < N_FIELDS; f++)
      m.kib[point][f] = kib.count(FIELDS[f]) ? kib[FIELDS[f]] : -1;
    if (point == 0) m.mappings = resident_by_mapping(pid);
  }
  stop_group(pid);
  fprintf(stderr, "  round: VmRSS %ld KiB at start, %ld after %ld sessions, %ld after %ld more%s\n",
          m.kib[0][0], m.kib[1][0], cfg.sessions, m.kib[2][0], cfg.sessions,
          m.failed ? ("  (" + std::to_string(m.failed) + " sessions failed)").c_str() : "");
  return m;
}

// A private network namespace with lo up, so all traffic stays in it.
bool enter_private_net() {
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
  // Many short connections: let the namespace reuse closed ports.
  write_text("/proc/sys/net/ipv4/tcp_tw_reuse", "1\n");
  return ok;
}

// ---- tables ----

bool start_table(const settings& cfg) {
  std::vector<program> progs{
      {"callvane -v", CALLVANE_BIN, {"callvane", "-v"}},
      {"hello, dynamic (floor)", HELLO_BIN, {"hello"}},
      {"hello, dynamic + libwrap", HELLO_WRAP_BIN, {"hello"}},
      {"hello, static", HELLO_STATIC_BIN, {"hello"}},
  };
  std::string banner = output_of(progs[0]);
  if (banner != BANNER) {
    fprintf(stderr, "callvane -v printed <%s>, not the banner\n", banner.c_str());
    return false;
  }
  std::vector<start_stats> st = measure_starts(cfg, progs);
  printf("\nStart-up: %d starts a round (posix_spawn to exit), medians of %d rounds\n\n",
         cfg.starts, cfg.rounds);
  printf("%-28s %10s %10s %10s %7s\n", "program", "median ms", "p90 ms", "vs floor", "failed");
  double floor = median(st[1].p50);
  bool ok = true;
  for (size_t k = 0; k < progs.size(); k++) {
    double m = median(st[k].p50);
    printf("%-28s %10.3f %10.3f %10.2f %7ld\n", progs[k].label, m, median(st[k].p90),
           floor > 0 ? m / floor : 0, st[k].failed);
    ok = ok && st[k].failed == 0;
  }
  double mine = median(st[0].p50);
  bool met = ok && mine <= 2.0;
  printf("goal: callvane -v median <= 2 ms: %.3f ms, %s\n", mine, met ? "met" : "NOT met");
  return met;
}

bool memory_table(const settings& cfg) {
  std::vector<memory_round> rounds;
  for (int r = 0; r < cfg.rounds; r++) rounds.push_back(measure_memory(cfg));
  bool ok = !rounds.empty();
  double med[N_POINTS][N_FIELDS];
  for (size_t point = 0; point < N_POINTS; point++) {
    for (size_t f = 0; f < N_FIELDS; f++) {
      std::vector<double> v;
      for (const memory_round& m : rounds) v.push_back(static_cast<double>(m.kib[point][f]));
      med[point][f] = median(v);
    }
  }
  for (const memory_round& m : rounds) ok = ok && m.started && m.failed == 0;
  printf(
      "\nIdle daemon (callvane -d -q -1), KiB from /proc/PID/status, medians of %d rounds;\na "
      "batch is %ld sessions from %d clients, one in %d with a page\n\n",
      cfg.rounds, cfg.sessions, cfg.clients, cfg.page_every);
  printf("%-18s", "");
  for (const char* f : FIELDS) printf(" %9s", f);
  printf("\n");
  for (size_t point = 0; point < N_POINTS; point++) {
    printf("%-18s", POINTS[point]);
    for (size_t f = 0; f < N_FIELDS; f++) printf(" %9.0f", med[point][f]);
    printf("\n");
  }
  double diff = med[2][0] - med[0][0], steady = med[2][0] - med[1][0];
  double anon_diff = med[2][1] - med[0][1];
  printf("difference VmRSS: %+.0f KiB from the start (RssAnon %+.0f), %+.0f between the batches\n",
         diff, anon_diff, steady);
  auto dyn = idle_memory_of(HELLO_BIN), wrap = idle_memory_of(HELLO_WRAP_BIN),
       stat = idle_memory_of(HELLO_STATIC_BIN);
  printf(
      "floor, idle, VmRSS (RssAnon): hello dynamic %ld (%ld), + libwrap %ld (%ld), static %ld "
      "(%ld)\n",
      dyn["VmRSS"], dyn["RssAnon"], wrap["VmRSS"], wrap["RssAnon"], stat["VmRSS"], stat["RssAnon"]);
  if (ok && !rounds[0].mappings.empty()) {
    printf("daemon at start, resident KiB by mapping (first round):\n ");
    size_t shown = 0;
    for (const auto& [kb, name] : rounds[0].mappings)
      if (shown++ < 10)
        printf("%s%s %s %ld", shown > 1 ? "," : "", shown == 6 ? "\n " : "", name.c_str(), kb);
    printf("\n");
  }
  bool met = ok && med[2][0] <= 4096 && diff == 0;
  printf("goal: VmRSS <= 4096 KiB and unchanged: %.0f KiB, difference %+.0f KiB, %s\n", med[2][0],
         diff, met ? "met" : "NOT met");
  if (!ok) printf("some round failed: the daemon did not start, or sessions failed\n");
  return met;
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--starts N] [--rounds R] [--sessions N] [--clients C] [--page-every K] "
          "[--part start|memory|both] [--dir DIR]\n",
          program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  settings cfg;
  std::string part = "both";
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage(argv[0]);
    if (arg == "--starts")
      cfg.starts = std::max(1, atoi(value));
    else if (arg == "--rounds")
      cfg.rounds = std::max(1, atoi(value));
    else if (arg == "--sessions")
      cfg.sessions = std::max(1L, atol(value));
    else if (arg == "--clients")
      cfg.clients = std::max(1, atoi(value));
    else if (arg == "--page-every")
      cfg.page_every = std::max(1, atoi(value));
    else if (arg == "--part" && (strcmp(value, "start") == 0 || strcmp(value, "memory") == 0 ||
                                 strcmp(value, "both") == 0))
      part = value;
    else if (arg == "--dir")
      cfg.base = value;
    else
      return usage(argv[0]);
    i++;
  }
  if (geteuid() != 0) {
    fprintf(stderr, "run as root: the daemon binds port %u and drops to uucp\n", DAEMON_PORT);
    return 2;
  }
  if (!enter_private_net()) return 1;
  prctl(PR_SET_CHILD_SUBREAPER, 1);  // sessions left behind are ours to reap
  signal(SIGPIPE, SIG_IGN);
  bool met = true;
  if (part != "memory") met = start_table(cfg) && met;
  if (part != "start") met = memory_table(cfg) && met;
  return met ? 0 : 1;
}
