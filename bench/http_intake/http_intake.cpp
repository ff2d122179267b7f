// Times page intake over HTTP against SNPP intake of the same daemon in the same run.
#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/bench_support.h"

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const uint16_t SNPP_PORT = 444;
const uint16_t HTTP_PORT = 8025;
const int REPLY_TIMEOUT_SECONDS = 15;
const int READY_WAIT_MS = 10000;
const char TOKEN[] = "bench-token";

struct settings {
  int clients = 8;
  long pages = 2000;
  int rounds = 3;
  std::string base = "/tmp";
};

// One connected socket to the loopback port, or -1.
int connect_to(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct timeval tv = {REPLY_TIMEOUT_SECONDS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
  close(fd);
  return -1;
}

// Reads until `done` says the text so far is complete; false on EOF or time-out.
bool read_until(int fd, std::string& in, const std::function<bool(const std::string&)>& done) {
  char chunk[2048];
  while (!done(in)) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in.append(chunk, static_cast<size_t>(n));
  }
  return true;
}

// One SNPP page on a connection of its own: true once SEND got 250.
bool snpp_page(long index) {
  int fd = connect_to(SNPP_PORT);
  if (fd < 0) return false;
  const std::string lines[] = {"", "PAGEr alice\r\n",
                               "MESSage intake benchmark page " + std::to_string(index) + "\r\n",
                               "SEND\r\n", "QUIT\r\n"};
  bool ok = true;
  bool acked = false;
  for (int i = 0; ok && i < 5; i++) {
    std::string in;
    ok = (lines[i].empty() || callvane::write_all(fd, lines[i])) &&
         read_until(fd, in, [](const std::string& s) { return s.find('\n') != std::string::npos; });
    if (i == 3) acked = ok && in.compare(0, 3, "250") == 0;
  }
  close(fd);
  return acked;
}

// One HTTP page on `fd` (a new connection when -1 or after a close): true
// on 202. Keeps the connection in `fd` when the server does.
bool http_page(int& fd, long index, bool keep_alive) {
  if (fd < 0) fd = connect_to(HTTP_PORT);
  if (fd < 0) return false;
  std::string body =
      R"({"to":["alice"],"message":"intake benchmark page )" + std::to_string(index) + "\"}";
  std::string request = "POST /api/v1/pages HTTP/1.1\r\nHost: bench\r\nAuthorization: Bearer " +
                        std::string(TOKEN) + "\r\nContent-Type: application/json\r\n" +
                        (keep_alive ? "" : "Connection: close\r\n") +
                        "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string in;
  // Headers, then the body of the length they give.
  auto complete = [](const std::string& s) {
    size_t end = s.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    size_t at = s.find("Content-Length: ");
    size_t length = at == std::string::npos ? 0 : std::stoul(s.substr(at + 16));
    return s.size() >= end + 4 + length;
  };
  bool ok = callvane::write_all(fd, request) && read_until(fd, in, complete);
  bool accepted = ok && in.compare(0, 12, "HTTP/1.1 202") == 0;
  if (!ok || !keep_alive) {
    close(fd);
    fd = -1;
  }
  return accepted;
}

enum class intake { snpp, http, http_keepalive };
const char* const INTAKE_NAMES[] = {"SNPP", "HTTP", "HTTP keep-alive"};

// Pages per second of one intake with the configured clients; `acked` gets
// how many were taken.
double drive(const settings& cfg, intake kind, long& acked) {
  std::atomic<long> next{0}, ok{0};
  auto start = clock_type::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < cfg.clients; c++) {
    threads.emplace_back([&] {
      int fd = -1;
      for (long i = next++; i < cfg.pages; i = next++) {
        bool taken =
            kind == intake::snpp ? snpp_page(i) : http_page(fd, i, kind == intake::http_keepalive);
        if (taken) ok++;
      }
      if (fd >= 0) close(fd);
    });
  }
  for (auto& t : threads) t.join();
  double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  acked = ok;
  return seconds > 0 ? static_cast<double>(ok) / seconds : 0;
}

// The daemon with both intakes, no queue runs, in its own process group.
pid_t start_daemon(const scratch& s) {
  std::string text =
      "queuedir=" + s.spool() + "\nlockdir=" + s.locks() + "\npidfile=" + s.path() +
      "/run/callvane.pid\nidenttimeout=0\nsnpptimeout=10\n" +
      "maxsessions=0\nsynchronous=no\nhttplisten=127.0.0.1:" + std::to_string(HTTP_PORT) +
      "\nhttptoken=" + TOKEN +
      "\nmodem=null device=/dev/null\n"
      "service=default device=null phone=5550100 password=pw\n"
      "pager=alice pagerid=1111111\n";
  if (!write_text(s.conf(), text)) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    freopen("/dev/null", "r", stdin);
    freopen((s.path() + "/daemon.log").c_str(), "w", stdout);
    dup2(1, 2);
    execl(CALLVANE_BIN, "callvane", "-d", "-q", "-1", "-C", s.conf().c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid > 0) setpgid(pid, pid);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  settings cfg;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--clients")
      cfg.clients = std::max(1, atoi(argv[i + 1]));
    else if (arg == "--pages")
      cfg.pages = std::max(1L, atol(argv[i + 1]));
    else if (arg == "--rounds")
      cfg.rounds = std::max(1, atoi(argv[i + 1]));
    else if (arg == "--dir")
      cfg.base = argv[i + 1];
  }
  if (geteuid() != 0 || !enter_private_network(true)) {
    fprintf(stderr, "run as root: a private network, port 444, and the drop to uucp\n");
    return 2;
  }
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  signal(SIGPIPE, SIG_IGN);
  std::vector<double> rates[3], refused[3];
  bool all_ok = true;
  for (int round = 0; round < cfg.rounds; round++) {
    scratch s(cfg.base);
    pid_t pid = start_daemon(s);
    if (pid < 0 || !listening_on(SNPP_PORT, READY_WAIT_MS) ||
        !listening_on(HTTP_PORT, READY_WAIT_MS)) {
      fprintf(stderr, "daemon did not start; see %s/daemon.log\n", s.path().c_str());
      end_group(pid);
      return 1;
    }
    long acked_total = 0;
    // The order turns each round, so that no intake always meets the fuller spool.
    for (int k = 0; k < 3; k++) {
      int which = (k + round) % 3;
      long acked = 0;
      double rate = drive(cfg, static_cast<intake>(which), acked);
      rates[which].push_back(rate);
      refused[which].push_back(static_cast<double>(cfg.pages - acked));
      acked_total += acked;
      fprintf(stderr, "  round %d %-16s %8.1f pages/s  acked %ld\n", round + 1, INTAKE_NAMES[which],
              rate, acked);
    }
    end_group(pid);
    long on_disk = queue_files(s.spool());
    if (on_disk != acked_total) {
      fprintf(stderr, "  acknowledged %ld, on disk %ld: FAILED\n", acked_total, on_disk);
      all_ok = false;
    }
  }
  printf(
      "\nPage intake of one daemon, %d clients, %ld pages per intake and round, medians of %d "
      "rounds\n\n%-16s %10s %12s %9s\n",
      cfg.clients, cfg.pages, cfg.rounds, "intake", "pages/s", "vs SNPP", "refused");
  double snpp = median(rates[0]);
  for (int k = 0; k < 3; k++)
    printf("%-16s %10.1f %12.2f %9.0f\n", INTAKE_NAMES[k], median(rates[k]),
           snpp > 0 ? median(rates[k]) / snpp : 0, median(refused[k]));
  return all_ok ? 0 : 1;
}
