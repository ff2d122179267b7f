// Times one call delivering k pages over a paced line against what the line
// and the dialogue's fixed pauses allow.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/bench_support.h"

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const int BITS_PER_CHAR = 10;       // 7E1: start, 7 data, parity, stop
const int RUN_LIMIT_SECONDS = 600;  // one call that takes longer is killed
const int SIM_LIFETIME_SECONDS = 900;
const int SIM_START_MS = 10000;  // for the simulator to name its device
const int TALLY_WAIT_MS = 5000;  // for the simulator to see the hang-up
const int STOP_WAIT_MS = 5000;
const char* const PAGER_ID = "1234567";

// The pauses the dialogue makes whatever the line does, each a fixed
// second the modem dialogue, the prompt cycle or the hang-up must wait, and
// what (if anything) had already answered when it began.
struct fixed_pause {
  const char* what;
  double seconds;
  const char* answered;
};
const fixed_pause FIXED_PAUSES[] = {{"lone CR, then initialisation", 1, "nothing is awaited"},
                                    {"OK, then dial", 1, "OK had come"},
                                    {"CONNECT, then the CR for the prompt", 1, "CONNECT had come"},
                                    {"DTR dropped, then the carrier test", 1, "ESC EOT had come"}};

// Characters the counts include that add no time, net. The echo is taken
// out as a whole, since it crosses back while the command is still coming
// in; but the echo of the last character of the initialisation and of the
// dial command crosses after it (+2). The LF that ends the OK and CONNECT
// lines crosses during the pause that follows each (-2), and the lone CR
// crosses during the first pause (-1).
const long OVERLAPPED_CHARS = 1;

double fixed_pauses() {
  double total = 0;
  for (const fixed_pause& p : FIXED_PAUSES) total += p.seconds;
  return total;
}

struct settings {
  std::vector<long> pages{1, 10, 50};
  std::vector<long> bauds{300, 1200, 2400};
  int rounds = 3;
  bool trace = true;
  std::string base = "/tmp";
};

// What crossed the line in one call, as the simulator counted it.
struct traffic {
  long calls = 0;
  long from_caller = 0, to_caller = 0, echoed = 0;
};

struct sample {
  double seconds = 0;
  traffic line;
  bool ok = false;
  std::string failure;
};

// ---- the simulated modem ----

class simulator {
 public:
  simulator(const scratch& s, long baud)
      : tally_(s.path() + "/tally"), record_(s.path() + "/record") {
    int out[2];
    if (pipe(out) != 0) return;
    std::string rate = std::to_string(baud), life = std::to_string(SIM_LIFETIME_SECONDS);
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(null, 2);
      close(out[0]);
      close(out[1]);
      execl(TAPSIM_BIN, "tapsim", "--baud", rate.c_str(), "--tally", tally_.c_str(), "--record",
            record_.c_str(), "--lifetime", life.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    // Its first line names the slave device.
    auto until = clock_type::now() + std::chrono::milliseconds(SIM_START_MS);
    for (char c = 0; pid_ > 0 && clock_type::now() < until;) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      device_ += c;
    }
    close(out[0]);
  }
  ~simulator() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto until = clock_type::now() + std::chrono::milliseconds(STOP_WAIT_MS);
    bool gone = false;
    while (!gone && clock_type::now() < until) {
      gone = waitpid(pid_, nullptr, WNOHANG) == pid_;
      if (!gone) usleep(10000);
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  simulator(const simulator&) = delete;
  simulator& operator=(const simulator&) = delete;

  const std::string& device() const { return device_; }

  // The calls tallied so far, waiting a little for the first one.
  traffic tally() const {
    traffic t;
    auto until = clock_type::now() + std::chrono::milliseconds(TALLY_WAIT_MS);
    for (;;) {
      std::ifstream in(tally_);
      long call, from, to, echo;
      while (in >> call >> from >> to >> echo) {
        t.calls++;
        t.from_caller += from;
        t.to_caller += to;
        t.echoed += echo;
      }
      if (t.calls > 0 || clock_type::now() >= until) return t;
      usleep(10000);
    }
  }
  // Blocks the terminal acknowledged.
  long blocks() const {
    std::ifstream in(record_);
    std::string line;
    long n = 0;
    while (std::getline(in, line)) n += line.rfind("block\t", 0) == 0;
    return n;
  }

 private:
  std::string tally_, record_, device_;
  pid_t pid_ = -1;
};

// ---- spool and configuration ----

std::string queue_file(long i, int64_t created) {
  // A short alert, one block: the line time per page stays near the size
  // of a typical page without making the slow rows last many minutes.
  std::string message = "disk full on host " + std::to_string(i);
  return "Version: 3\nTries: 0\nPager: alice\n-\nFrom: ops@example.org\n"
         "Hostname: gw.example.org\nBytes: " +
         std::to_string(message.size() + 11) + "\nMessage: " + message +
         "\nCreated: " + std::to_string(created) + " " + callvane::time_text(created) +
         "\nUniqueID: LINE" + std::to_string(i % 1000) + "\n";
}

bool fill_spool(const scratch& s, long pages) {
  const int64_t created = time(nullptr) - 60;
  for (long i = 0; i < pages; i++) {
    // The writer's names: the creation second and an attempt number.
    int64_t when = created + i / 100;
    char name[64];
    snprintf(name, sizeof name, "P%lld.%03ld", static_cast<long long>(when), i % 100);
    if (!write_text(s.spool() + "/" + name, queue_file(i, when))) return false;
  }
  return true;
}

bool write_config(const scratch& s, const std::string& device, long baud) {
  return write_text(s.conf(), "queuedir=" + s.spool() + "\nlockdir=" + s.locks() +
                                  "\nmodem=sim device=" + device +
                                  "\nservice=default device=sim phone=5551234 password=pw "
                                  "baudrate=" +
                                  std::to_string(baud) +
                                  " parity=even\npager=alice pagerid=" + PAGER_ID + "\n");
}

long pages_left(const scratch& s) {
  DIR* d = opendir(s.spool().c_str());
  if (d == nullptr) return -1;
  long n = 0;
  while (struct dirent* e = readdir(d)) n += e->d_name[0] == 'P';
  closedir(d);
  return n;
}

// ---- one call ----

// The last line the program wrote to its log, to say why a call failed.
std::string last_line(const std::string& path) {
  std::ifstream in(path);
  std::string line, last;
  while (std::getline(in, line))
    if (!line.empty()) last = line;
  return last.empty() ? "" : ": " + last;
}

// Steps of a traced call, by the debug lines that mark them.
const char* const MILESTONES[][2] = {
    {"initializing modem", "initialisation begins (lone CR, pause)"},
    {"found <OK>", "modem answered OK"},
    {"dialing service", "dial command sent (after the pause)"},
    {"connected to remote", "CONNECT"},
    {"logging into", "prompt seen (after the pause and a CR)"},
    {"says ok to proceed", "login acknowledged, go-ahead"},
    {"page delivered", "page delivered"},
    {"logging out from", "logout sent"},
    {"hanging up modem", "terminal answered the logout; DTR dropped"}};

struct stamped {
  double at;
  std::string text;
};

// Reads the debug lines of a traced call as they come, with the time each
// one arrived; ends when the program closes its side.
std::vector<stamped> read_stamped(int fd, clock_type::time_point start) {
  std::vector<stamped> lines;
  std::string partial;
  auto until = start + std::chrono::seconds(RUN_LIMIT_SECONDS);
  while (clock_type::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) continue;
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    double at = std::chrono::duration<double>(clock_type::now() - start).count();
    partial.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
      lines.push_back({at, partial.substr(0, nl)});
  }
  return lines;
}

// Runs the program; with `trace` in debug mode, its log lines stamped.
sample run_call(const settings& cfg, long baud, long pages, std::vector<stamped>* trace = nullptr) {
  sample out;
  scratch s(cfg.base);
  simulator sim(s, baud);
  if (sim.device().empty()) {
    out.failure = "simulator did not start";
    return out;
  }
  if (!write_config(s, sim.device(), baud) || !fill_spool(s, pages)) {
    out.failure = "cannot write the spool";
    return out;
  }
  const std::string log_path = s.path() + "/stderr", conf = s.conf();
  int err[2] = {-1, -1};
  if (trace != nullptr && pipe(err) != 0) return out;
  auto start = clock_type::now();
  pid_t pid = fork();
  if (pid < 0) return out;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(trace != nullptr ? err[1] : log, 2);
    alarm(RUN_LIMIT_SECONDS);  // SIGALRM's default action ends a run that hangs
    std::vector<const char*> args{"callvane", "-q", "0", "-C", conf.c_str()};
    if (trace != nullptr) args.insert(args.begin() + 1, "-d");
    args.push_back(nullptr);
    execv(CALLVANE_BIN, const_cast<char* const*>(args.data()));
    _exit(127);
  }
  if (trace != nullptr) {
    close(err[1]);
    *trace = read_stamped(err[0], start);
    close(err[0]);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return out;
  out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  out.line = sim.tally();
  long acked = sim.blocks(), left = pages_left(s);
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.line.calls == 1 && acked == pages &&
           left == 0;
  if (!out.ok)
    out.failure = "status " + std::to_string(status) + ", calls " + std::to_string(out.line.calls) +
                  ", blocks acknowledged " + std::to_string(acked) + ", pages left " +
                  std::to_string(left) + last_line(log_path);
  return out;
}

// ---- table ----

struct row {
  long baud = 0, pages = 0;
  double wall = 0, floor = 0;
  traffic line;
  bool ok = true;
};

// The line's share: the characters on the way of the dialogue, each way,
// at 10 bits a character.
long line_chars(const traffic& t) {
  return t.from_caller + t.to_caller - t.echoed - OVERLAPPED_CHARS;
}
double line_seconds(const traffic& t, long baud) {
  return static_cast<double>(line_chars(t)) * BITS_PER_CHAR / static_cast<double>(baud);
}

row measure(const settings& cfg, long baud, long pages) {
  row r;
  r.baud = baud;
  r.pages = pages;
  std::vector<double> walls, floors;
  for (int i = 0; i < cfg.rounds; i++) {
    sample one = run_call(cfg, baud, pages);
    double floor = line_seconds(one.line, baud) + fixed_pauses();
    fprintf(stderr, "  %5ld baud, %3ld pages, round %d: %.3f s (floor %.3f s)%s%s\n", baud, pages,
            i + 1, one.seconds, floor, one.ok ? "" : "  FAILED: ", one.failure.c_str());
    r.ok = r.ok && one.ok;
    walls.push_back(one.seconds);
    floors.push_back(floor);
    r.line = one.line;
  }
  r.wall = median(walls);
  r.floor = median(floors);
  return r;
}

// When each step of a traced call was reached, -1 where it was not; the
// last entry is the end of the program.
std::vector<double> milestones(const std::vector<stamped>& trace, double end) {
  std::vector<double> at;
  for (const auto& m : MILESTONES) {
    double when = -1;
    for (const stamped& l : trace)
      if (when < 0 && l.text.find(m[0]) != std::string::npos) when = l.at;
    at.push_back(when);
  }
  at.push_back(end);
  return at;
}

void print_trace(const settings& cfg) {
  std::vector<std::vector<double>> cols;
  for (long baud : cfg.bauds) {
    std::vector<stamped> trace;
    sample one = run_call(cfg, baud, 1, &trace);
    fprintf(stderr, "  %5ld baud, traced call of 1 page: %.3f s%s%s\n", baud, one.seconds,
            one.ok ? "" : "  FAILED: ", one.failure.c_str());
    cols.push_back(milestones(trace, one.seconds));
  }
  printf(
      "\nWhere the time goes: one traced call (-d) of 1 page, seconds since the start, and "
      "since the step before\n\n%-44s",
      "step");
  for (long baud : cfg.bauds) printf(" %7ld baud   ", baud);
  printf("\n");
  size_t steps = std::size(MILESTONES) + 1;
  for (size_t i = 0; i < steps; i++) {
    printf("%-44s", i < std::size(MILESTONES) ? MILESTONES[i][1] : "program ended");
    for (const auto& col : cols) {
      double gap = i > 0 && col[i] >= 0 && col[i - 1] >= 0 ? col[i] - col[i - 1] : col[i];
      if (col[i] < 0)
        printf(" %15s", "-");
      else
        printf(" %7.3f %+7.3f", col[i], gap);
    }
    printf("\n");
  }
}

std::vector<long> parse_list(const char* text) {
  std::vector<long> out;
  for (const char* at = text; *at != '\0';) {
    char* end;
    long n = strtol(at, &end, 10);
    if (end == at || n <= 0) break;
    out.push_back(n);
    at = *end == ',' ? end + 1 : end;
  }
  return out;
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--pages K,K,...] [--bauds B,B,...] [--rounds R] [--trace yes|no] "
          "[--dir DIR]\n",
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
    if (arg == "--pages")
      cfg.pages = parse_list(value);
    else if (arg == "--bauds")
      cfg.bauds = parse_list(value);
    else if (arg == "--rounds")
      cfg.rounds = std::max(1, atoi(value));
    else if (arg == "--dir")
      cfg.base = value;
    else if (arg == "--trace")
      cfg.trace = strcmp(value, "no") != 0;
    else
      return usage(argv[0]);
    i++;
  }
  signal(SIGPIPE, SIG_IGN);

  std::vector<row> rows;
  for (long baud : cfg.bauds)
    for (long pages : cfg.pages) rows.push_back(measure(cfg, baud, pages));

  printf(
      "\nOne call of `callvane -q 0` over tapsim, 7E1 (%d bits a character), medians of %d "
      "rounds\n\n",
      BITS_PER_CHAR, cfg.rounds);
  printf("%6s %6s %9s %9s %8s %9s %9s %7s %7s\n", "baud", "pages", "to term", "to caller", "echoed",
         "floor s", "wall s", "ratio", "excess");
  bool all_ok = true, met = true;
  for (const row& r : rows) {
    double ratio = r.floor > 0 ? r.wall / r.floor : 0;
    printf("%6ld %6ld %9ld %9ld %8ld %9.3f %9.3f %7.3f %6.3fs%s\n", r.baud, r.pages,
           r.line.from_caller, r.line.to_caller, r.line.echoed, r.floor, r.wall, ratio,
           r.wall - r.floor, r.ok ? "" : "  (a round failed)");
    all_ok = all_ok && r.ok;
    met = met && r.ok && ratio <= 1.05;
  }
  printf("\nfloor = (to term + to caller - echoed - %ld) x %d / baud + fixed pauses of %.0f s\n",
         OVERLAPPED_CHARS, BITS_PER_CHAR, fixed_pauses());
  printf(
      "(%ld net: the lone CR and the LFs ending OK and CONNECT cross during pauses, the\n"
      "echo of the CR of the two commands after them); the pauses, each prescribed:\n",
      OVERLAPPED_CHARS);
  for (const fixed_pause& p : FIXED_PAUSES)
    printf("  %4.1f s  %-38s %s\n", p.seconds, p.what, p.answered);
  printf("goal: wall / floor <= 1.05 for every row: %s\n", met ? "met" : "NOT met");
  if (cfg.trace) print_trace(cfg);
  return all_ok && met ? 0 : 1;
}
