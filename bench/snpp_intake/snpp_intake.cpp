// Times SNPP page intake of the daemon against a minimal forking server.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/page.h"
#include "queue/queuefile.h"
#include "support/bench_support.h"

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const uint16_t DAEMON_PORT = 444;  // snpp
const uint16_t FLOOR_PORT = 4444;
const int REPLY_TIMEOUT_SECONDS = 15;  // one reply that takes longer is an error
const int ROUND_LIMIT_SECONDS = 300;   // no new page starts after this
const int READY_WAIT_MS = 10000;       // for a server to start listening
const int STOP_WAIT_MS = 5000;         // for a server to go after SIGTERM
const size_t MAX_LINE = 1024;          // of a line read from a file

struct settings {
  int clients = 8;
  long pages = 2000;
  int rounds = 3;
  std::string scenarios = "ab";
  int interval_b = 60;
  int floor_backlog = 128;
  std::string base = "/tmp";
  std::string program = CALLVANE_BIN;  // --callvane: another build's program
};

void set_timeouts(int fd, int seconds) {
  struct timeval tv = {seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// ---- load generator ----

struct page_result {
  bool acked = false;  // SEND got 250
  bool clean = false;  // every reply as expected
  double seconds = 0;  // connect to the 250 of SEND
  std::string failure;
};

page_result send_one(uint16_t port, long index) {
  page_result r;
  auto start = clock_type::now();
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return r;
  set_timeouts(fd, REPLY_TIMEOUT_SECONDS);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa = loopback_address(port);
  snpp_replies in(fd);
  // Each step: what is sent (nothing for the greeting) and the code expected.
  const std::string steps[][2] = {
      {"", "220"},
      {"PAGEr alice\r\n", "250"},
      {"MESSage intake benchmark page " + std::to_string(index) + "\r\n", "250"},
      {"SEND\r\n", "250"},
      {"QUIT\r\n", "221"}};
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (!ok) r.failure = "connect: " + std::string(strerror(errno));
  for (int i = 0; ok && i < 5; i++) {
    std::string line;
    ok = steps[i][0].empty() || callvane::write_all(fd, steps[i][0]);
    ok = ok && in.next(line) == atoi(steps[i][1].c_str());
    if (!ok) r.failure = "step " + std::to_string(i) + ": " + (line.empty() ? "no reply" : line);
    if (ok && i == 3) {
      r.acked = true;
      r.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    }
  }
  r.clean = ok;
  close(fd);
  return r;
}

struct round_result {
  long acked = 0;
  long errors = 0;
  double seconds = 0;
  std::vector<double> latencies;
  long on_disk = 0;
  double rate() const { return seconds > 0 ? static_cast<double>(acked) / seconds : 0; }
};

round_result drive(const settings& cfg, uint16_t port) {
  round_result out;
  std::atomic<long> next{0};
  std::atomic<long> acked{0}, errors{0};
  std::vector<std::vector<double>> lat(static_cast<size_t>(cfg.clients));
  auto start = clock_type::now();
  auto limit = start + std::chrono::seconds(ROUND_LIMIT_SECONDS);
  std::vector<std::thread> threads;
  for (int c = 0; c < cfg.clients; c++) {
    threads.emplace_back([&, c] {
      for (long i = next++; i < cfg.pages && clock_type::now() < limit; i = next++) {
        page_result r = send_one(port, i);
        if (r.acked) {
          acked++;
          lat[static_cast<size_t>(c)].push_back(r.seconds);
        }
        if (!r.clean && errors++ == 0)
          fprintf(stderr, "    first failure: %s\n", r.failure.c_str());
      }
    });
  }
  for (auto& t : threads) t.join();
  out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  out.acked = acked;
  out.errors = errors + std::max(0L, cfg.pages - std::min(next.load(), cfg.pages));
  for (auto& v : lat) out.latencies.insert(out.latencies.end(), v.begin(), v.end());
  return out;
}

// ---- floor server: fork per connection, fixed replies, one synced file per SEND ----

// The floor's two kinds: the file synced, or the file and then the spool
// directory, as a page is durable under its name only once both are.
enum class floor_kind { file, file_and_dir };

bool floor_store(const std::string& spool, const std::string& message, unsigned& counter,
                 floor_kind kind) {
  std::string name =
      spool + "/P" + std::to_string(getpid()) + "." + std::to_string(counter++) + ".floor";
  int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::string text = "Pager: alice\nMessage: " + message + "\n";
  bool ok = callvane::write_all(fd, text) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok || kind == floor_kind::file) return ok;
  int dir = open(spool.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ok = dir >= 0 && fsync(dir) == 0;
  if (dir >= 0) close(dir);
  return ok;
}

[[noreturn]] void floor_session(int fd, const std::string& spool, floor_kind kind) {
  set_timeouts(fd, 10);
  snpp_replies in(fd);
  std::string line, message;
  unsigned counter = 0;
  bool ok = callvane::write_all(fd, "220 floor ready\r\n");
  while (ok && in.next_line(line)) {
    std::string verb = line.substr(0, 4);
    for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    if (verb == "QUIT") {
      callvane::write_all(fd, "221 bye\r\n");
      break;
    }
    if (verb == "MESS") message = line.size() > 8 ? line.substr(8) : "";
    if (verb == "SEND" && !floor_store(spool, message, counter, kind)) {
      ok = callvane::write_all(fd, "554 not stored\r\n");
      continue;
    }
    ok = callvane::write_all(fd, "250 ok\r\n");
  }
  close(fd);
  _exit(0);
}

[[noreturn]] void floor_server(int listen_fd, const std::string& spool, floor_kind kind) {
  signal(SIGCHLD, SIG_IGN);  // children reap themselves
  signal(SIGTERM, SIG_DFL);
  for (;;) {
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      _exit(1);
    }
    pid_t pid = fork();
    if (pid == 0) {
      close(listen_fd);
      floor_session(fd, spool, kind);
    }
    close(fd);
  }
}

// ---- processes ----

pid_t start_floor(const scratch& s, int backlog, floor_kind kind) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = loopback_address(FLOOR_PORT);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, backlog) != 0) {
    perror("floor listen");
    close(fd);
    return -1;
  }
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    floor_server(fd, s.spool(), kind);
  }
  if (pid > 0) setpgid(pid, pid);
  close(fd);
  return pid;
}

bool write_config(const scratch& s, bool synchronous) {
  std::string text = "queuedir=" + s.spool() + "\nlockdir=" + s.path() +
                     "/locks\npidfile=" + s.path() +
                     "/run/callvane.pid\nidenttimeout=0\nsnpptimeout=10\n" +
                     "maxsessions=0\nsynchronous=" + (synchronous ? "yes" : "no") +
                     "\nmodem=null device=/dev/null\n"
                     "service=default device=null phone=5550100 password=pw\n"
                     "pager=alice pagerid=1111111\n";
  return write_text(s.path() + "/callvane.conf", text);
}

pid_t start_daemon(const scratch& s, int interval, const std::string& program) {
  std::string conf = s.path() + "/callvane.conf";
  std::string log = s.path() + "/daemon.log";
  std::string iv = std::to_string(interval);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    execl(program.c_str(), "callvane", "-d", "-q", iv.c_str(), "-C", conf.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  if (pid > 0 && !listening_on(DAEMON_PORT, READY_WAIT_MS)) {
    fprintf(stderr, "daemon did not start listening; see its log:\n");
    std::string cmd = "tail -5 " + log + " >&2";
    if (system(cmd.c_str()) != 0) {
    }
    end_group(pid, STOP_WAIT_MS);
    return -1;
  }
  return pid;
}

// ---- spool check ----

bool has_message_line(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char line[MAX_LINE];
  bool found = false;
  while (!found && fgets(line, sizeof line, f) != nullptr)
    found = strncmp(line, "Message: ", 9) == 0;
  fclose(f);
  return found;
}

// Complete pages in the spool: P files with a "Message:" line that, for
// the daemon, also read back as a queue file.
long count_pages(const scratch& s, bool parse) {
  DIR* d = opendir(s.spool().c_str());
  if (d == nullptr) return -1;
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d))
    if (e->d_name[0] == 'P') names.push_back(e->d_name);
  closedir(d);
  long complete = 0;
  char here[4096];
  if (getcwd(here, sizeof here) == nullptr || chdir(s.spool().c_str()) != 0) return -1;
  for (const std::string& n : names) {
    if (!has_message_line(n)) continue;
    if (parse) {
      auto p = callvane::read_page(n);
      if (!p || !p->message || p->message->empty()) continue;
    }
    complete++;
  }
  if (chdir(here) != 0) return -1;
  return complete;
}

// Connections the kernel dropped because a listen queue was full, so far
// in this namespace: each costs its client a SYN retransmission (1 s).
long listen_overflows() {
  FILE* f = fopen("/proc/net/netstat", "r");
  if (f == nullptr) return -1;
  char names[4096], values[4096];
  long found = -1;
  while (found < 0 && fgets(names, sizeof names, f) != nullptr &&
         fgets(values, sizeof values, f) != nullptr) {
    if (strncmp(names, "TcpExt:", 7) != 0) continue;
    char *np = nullptr, *vp = nullptr;
    char* n = strtok_r(names, " \n", &np);
    char* v = strtok_r(values, " \n", &vp);
    for (; n != nullptr && v != nullptr;
         n = strtok_r(nullptr, " \n", &np), v = strtok_r(nullptr, " \n", &vp))
      if (strcmp(n, "ListenOverflows") == 0) found = atol(v);
  }
  fclose(f);
  return found;
}

// ---- rounds ----

double children_cpu_seconds() {
  struct rusage ru {};
  getrusage(RUSAGE_CHILDREN, &ru);
  auto secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

struct server_rounds {
  std::vector<double> rate, p50, p99, errors;
  bool ok = true;
};

// The servers a scenario compares, in the order of each round.
enum class server { floor, floor_dir, daemon };
const char* server_name(server which) {
  return which == server::floor ? "floor" : which == server::floor_dir ? "floor+dir" : "daemon";
}

// Every round's tree stays until the benchmark ends: removing thousands of
// files makes the file system skip their recently freed inodes when the
// next round creates files, which would slow whichever server comes next.
std::vector<std::unique_ptr<scratch>> used_trees;

void run_round(const settings& cfg, server which, char scenario, server_rounds& into) {
  used_trees.push_back(std::make_unique<scratch>(cfg.base));
  const scratch& s = *used_trees.back();
  pid_t pid;
  bool daemon = which == server::daemon;
  uint16_t port = daemon ? DAEMON_PORT : FLOOR_PORT;
  if (daemon) {
    bool b = scenario == 'b';
    pid = write_config(s, b) ? start_daemon(s, b ? cfg.interval_b : -1, cfg.program) : -1;
  } else {
    pid = start_floor(s, cfg.floor_backlog,
                      which == server::floor ? floor_kind::file : floor_kind::file_and_dir);
  }
  if (pid < 0 || (!daemon && !listening_on(port, READY_WAIT_MS))) {
    end_group(pid, STOP_WAIT_MS);
    into.ok = false;
    return;
  }
  long overflows = listen_overflows();
  double cpu_before = children_cpu_seconds();
  round_result r = drive(cfg, port);
  overflows = listen_overflows() - overflows;
  end_group(pid, STOP_WAIT_MS);
  // The server and everything it forked, all reaped by now: the processor
  // time a page costs, which other load on the machine changes far less
  // than the rate.
  double cpu_us = r.acked > 0 ? (children_cpu_seconds() - cpu_before) * 1e6 / r.acked : 0;
  r.on_disk = count_pages(s, daemon);
  double p50 = percentile(r.latencies, 0.50) * 1e3, p99 = percentile(r.latencies, 0.99) * 1e3;
  // Refusals are counted, not failures of the benchmark; a page
  // acknowledged but missing or incomplete on disk is.
  bool ok = r.on_disk == r.acked;
  fprintf(stderr,
          "  (%c) %-9s %8.1f pages/s  p50 %7.2f ms  p99 %7.2f ms  acked %ld  on disk %ld  "
          "errors %ld  listen overflows %ld  cpu/page %.0f us%s\n",
          scenario, server_name(which), r.rate(), p50, p99, r.acked, r.on_disk, r.errors, overflows,
          cpu_us, ok ? "" : "  FAILED");
  into.ok = into.ok && ok;
  into.rate.push_back(r.rate());
  into.p50.push_back(p50);
  into.p99.push_back(p99);
  into.errors.push_back(static_cast<double>(r.errors));
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--clients C] [--pages N] [--rounds R] [--scenarios a|b|ab] "
          "[--interval S] [--floor-backlog B] [--dir DIR] [--callvane PATH]\n",
          program);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  settings cfg;
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage(argv[0]);
    if (arg == "--clients")
      cfg.clients = std::max(1, atoi(value));
    else if (arg == "--pages")
      cfg.pages = std::max(1L, atol(value));
    else if (arg == "--rounds")
      cfg.rounds = std::max(1, atoi(value));
    else if (arg == "--scenarios")
      cfg.scenarios = value;
    else if (arg == "--interval")
      cfg.interval_b = std::max(1, atoi(value));
    else if (arg == "--floor-backlog")
      cfg.floor_backlog = std::max(1, atoi(value));
    else if (arg == "--dir")
      cfg.base = value;
    else if (arg == "--callvane")
      cfg.program = value;
    else
      return usage(argv[0]);
    i++;
  }
  if (geteuid() != 0) {
    fprintf(stderr, "run as root: the daemon binds port %u and drops to uucp\n", DAEMON_PORT);
    return 2;
  }
  if (!enter_private_network(true)) return 1;
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  signal(SIGPIPE, SIG_IGN);

  bool all_ok = true, goals_met = true;
  printf("\nSNPP intake, %d clients, %ld pages per round, medians of %d rounds\n\n", cfg.clients,
         cfg.pages, cfg.rounds);
  printf("%-9s %-9s %10s %9s %9s %8s\n", "scenario", "server", "pages/s", "p50 ms", "p99 ms",
         "errors");
  const server order[] = {server::floor, server::floor_dir, server::daemon};
  for (char scenario : cfg.scenarios) {
    if (scenario != 'a' && scenario != 'b') continue;
    fprintf(stderr, "scenario (%c)\n", scenario);
    server_rounds rounds[3];
    for (int i = 0; i < cfg.rounds; i++)
      for (server which : order) run_round(cfg, which, scenario, rounds[static_cast<int>(which)]);
    for (server which : order) {
      const server_rounds& r = rounds[static_cast<int>(which)];
      printf("(%c)       %-9s %10.1f %9.2f %9.2f %8.0f\n", scenario, server_name(which),
             median(r.rate), median(r.p50), median(r.p99), median(r.errors));
      all_ok = all_ok && r.ok;
    }
    // The daemon syncs the file and the directory, so the floor that does
    // the same is the one it is held to.
    const server_rounds& fl = rounds[static_cast<int>(server::floor_dir)];
    const server_rounds& dm = rounds[static_cast<int>(server::daemon)];
    double fr = median(fl.rate), dr = median(dm.rate);
    double f99 = median(fl.p99), d99 = median(dm.p99);
    double rate_ratio = fr > 0 ? dr / fr : 0, p99_ratio = f99 > 0 ? d99 / f99 : 0;
    bool errors_none = median(dm.errors) == 0;
    bool met = (scenario == 'a' ? rate_ratio >= 0.8 && p99_ratio <= 1.5 : rate_ratio >= 0.5) &&
               errors_none;
    printf("(%c)       daemon/floor+dir: pages/s %.2f, p99 %.2f (goal %s, no errors): %s\n\n",
           scenario, rate_ratio, p99_ratio,
           scenario == 'a' ? "pages/s >= 0.8, p99 <= 1.5" : "pages/s >= 0.5",
           met ? "met" : "NOT met");
    goals_met = goals_met && met;
  }
  if (!all_ok)
    printf("some round failed: a server did not start, or acknowledged pages are not on disk\n");
  return all_ok && goals_met ? 0 : 1;
}
