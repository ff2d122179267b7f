// Times one `callvane -q 0` over large spools and one durable fresh write.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/page.h"
#include "common/text.h"
#include "queue/queuefile.h"
#include "support/bench_support.h"

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const int RUN_LIMIT_SECONDS = 1800;  // one run that takes longer is killed
const int NAMES_PER_SECOND = 100;    // attempt numbers .000 to .099

struct settings {
  std::vector<long> sizes{1000, 10000, 100000};
  std::vector<long> due_sizes{1000, 10000, 100000};
  int rounds = 3;
  int writes = 200;
  std::string base = "/tmp";
};

struct sample {
  double seconds = 0;
  long max_rss_kib = 0;
  bool ok = false;
};

// One page of one recipient per file, named as the writer names them.
bool fill_spool(const scratch& s, long count, int64_t holduntil) {
  const int64_t created = 1700000000;
  for (long i = 0; i < count; i++) {
    int64_t when = created + i / NAMES_PER_SECOND;
    char name[64];
    snprintf(name, sizeof name, "P%lld.%03ld", static_cast<long long>(when), i % NAMES_PER_SECOND);
    std::string text = "Version: 3\n";
    if (holduntil != 0)
      text +=
          "Holduntil: " + std::to_string(holduntil) + " " + callvane::time_text(holduntil) + "\n";
    text += "Tries: 0\nPager: alice\n-\nFrom: ops@example.org\nHostname: gw.example.org\n";
    std::string message = "benchmark page " + std::to_string(i) + " of the queue run";
    text += "Bytes: " + std::to_string(message.size() + 11) + "\nMessage: " + message + "\n";
    text += "Created: " + std::to_string(when) + " " + callvane::time_text(when) + "\n";
    text += "UniqueID: BNCH" + std::to_string(i % 1000) + "\n";
    if (!write_text(s.spool() + "/" + name, text)) {
      fprintf(stderr, "cannot write %s: %s\n", name, strerror(errno));
      return false;
    }
  }
  return true;
}

// The device of the service is /dev/null, which no line setup accepts: a
// due recipient costs one attempt that finds no modem, and stays due.
bool write_config(const scratch& s) {
  return write_text(s.conf(), "queuedir=" + s.spool() + "\nlockdir=" + s.locks() +
                                  "\nmodem=null device=/dev/null\n"
                                  "service=default device=null phone=5550100 password=pw\n"
                                  "pager=alice pagerid=1111111\n");
}

// Runs the program once and measures it from outside.
sample run_once(const scratch& s) {
  sample out;
  auto start = clock_type::now();
  pid_t pid = fork();
  if (pid < 0) return out;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    alarm(RUN_LIMIT_SECONDS);  // SIGALRM's default action ends a run that hangs
    execl(CALLVANE_BIN, "callvane", "-q", "0", "-C", s.conf().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (wait4(pid, &status, 0, &usage) != pid) return out;
  out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  out.max_rss_kib = usage.ru_maxrss;
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return out;
}

struct row {
  std::string variant;
  long pages = 0;
  double seconds = 0;
  long max_rss_kib = 0;
  bool ok = true;
};

row measure(const settings& cfg, const char* variant, long pages, bool held) {
  row r{variant, pages};
  scratch s(cfg.base);
  int64_t holduntil = held ? time(nullptr) + 10L * 365 * 86400 : 0;
  if (!write_config(s) || !fill_spool(s, pages, holduntil)) {
    r.ok = false;
    return r;
  }
  std::vector<double> times;
  for (int i = 0; i < cfg.rounds; i++) {
    sample one = run_once(s);
    if (!one.ok) r.ok = false;
    times.push_back(one.seconds);
    r.max_rss_kib = std::max(r.max_rss_kib, one.max_rss_kib);
    fprintf(stderr, "  %s %ld pages, round %d: %.3f s\n", variant, pages, i + 1, one.seconds);
  }
  r.seconds = median(times);
  return r;
}

// The cost of queueing one new page durably, as a session does.
double fresh_write_seconds(const settings& cfg) {
  scratch s(cfg.base);
  if (chdir(s.spool().c_str()) != 0) return -1;
  std::vector<double> times;
  for (int i = 0; i < cfg.writes; i++) {
    callvane::page p;
    p.created = time(nullptr);
    p.message = "benchmark page " + std::to_string(i);
    p.from = "ops@example.org";
    p.messageid = "BNCH" + std::to_string(i % 1000);
    callvane::rcpt r;
    r.pager = "alice";
    p.rcpts.push_back(r);
    auto start = clock_type::now();
    int result = callvane::write_new_page(p);
    times.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
    // The name goes again at once: only so many names exist per second.
    if (result != 1 || !p.filename || unlink(p.filename->c_str()) != 0) {
      fprintf(stderr, "fresh write %d failed\n", i);
      return -1;
    }
  }
  if (chdir("/") != 0) return -1;
  return median(times);
}

std::vector<long> parse_sizes(const char* text) {
  std::vector<long> sizes;
  for (const char* at = text; *at != '\0';) {
    char* end;
    long n = strtol(at, &end, 10);
    if (end == at || n <= 0) break;
    sizes.push_back(n);
    at = *end == ',' ? end + 1 : end;
  }
  return sizes;
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--sizes N,N,...] [--due-sizes N,...] [--rounds R] [--writes W] [--dir DIR]\n",
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
    if (arg == "--sizes") {
      cfg.sizes = parse_sizes(value);
    } else if (arg == "--due-sizes") {
      cfg.due_sizes = parse_sizes(value);
    } else if (arg == "--rounds") {
      cfg.rounds = std::max(1, atoi(value));
    } else if (arg == "--writes") {
      cfg.writes = std::max(1, atoi(value));
    } else if (arg == "--dir") {
      cfg.base = value;
    } else {
      return usage(argv[0]);
    }
    i++;
  }

  std::vector<row> rows;
  for (long n : cfg.sizes) rows.push_back(measure(cfg, "held", n, true));
  for (long n : cfg.due_sizes) rows.push_back(measure(cfg, "due, no modem", n, false));
  double fresh = fresh_write_seconds(cfg);

  printf("\nOne `callvane -q 0`, median of %d rounds\n\n", cfg.rounds);
  printf("%-14s %9s %12s %14s %14s\n", "variant", "pages", "run (s)", "per page (us)",
         "peak RSS (MiB)");
  bool all_ok = true;
  for (const row& r : rows) {
    printf("%-14s %9ld %12.3f %14.1f %14.1f%s\n", r.variant.c_str(), r.pages, r.seconds,
           r.seconds * 1e6 / static_cast<double>(r.pages), r.max_rss_kib / 1024.0,
           r.ok ? "" : "  (run failed)");
    all_ok = all_ok && r.ok;
  }
  if (fresh >= 0)
    printf("\nfresh durable write_new_page: %.3f ms (median of %d)\n", fresh * 1e3, cfg.writes);
  else
    all_ok = false;

  // Growth check: ten times the pages may cost at most eleven times as long.
  bool goal_met = true;
  for (const char* variant : {"held", "due, no modem"}) {
    const row* small = nullptr;
    const row* large = nullptr;
    for (const row& r : rows) {
      if (r.variant != variant) continue;
      if (r.pages == 10000) small = &r;
      if (r.pages == 100000) large = &r;
    }
    if (small == nullptr || large == nullptr || small->seconds <= 0) continue;
    double ratio = large->seconds / small->seconds;
    bool met = ratio <= 11.0;
    goal_met = goal_met && met;
    printf("%s: 100000 pages take %.2f x the time of 10000 (goal <= 11): %s\n", variant, ratio,
           met ? "met" : "NOT met");
  }
  return all_ok && goal_met ? 0 : 1;
}
