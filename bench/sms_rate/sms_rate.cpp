// Times the SMS of one queue run over tapsim's GSM modem on a paced line:
// the time each further SMS adds, against what the line allows for it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

const int BITS_PER_CHAR = 10;  // 8N1: start, 8 data, stop
const int RUN_LIMIT_SECONDS = 600;
const int SIM_START_MS = 10000;
const int TALLY_WAIT_MS = 5000;
const char* const NUMBER = "+4512345678";

struct settings {
  std::vector<long> bauds{9600, 115200};
  long few = 1, many = 21;  // SMS in the short and the long run
  int rounds = 3;
  std::string base = "/tmp";
};

// One run: its wall time, the characters that crossed the line (less the
// modem's echo) and the SMS the modem sent.
struct sample {
  double seconds = 0;
  long chars = 0, sms = 0;
  bool ok = false;
};

// tapsim --gsm on a line paced at `baud`, for the life of one run.
class gsm_sim {
 public:
  gsm_sim(const scratch& s, long baud) : tally_(s.path() + "/tally"), record_(s.path() + "/rec") {
    int out[2];
    if (pipe(out) != 0) return;
    std::string rate = std::to_string(baud);
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(out[1], 1);
      dup2(null, 2);
      close(out[0]);
      execl(TAPSIM_BIN, "tapsim", "--gsm", "--baud", rate.c_str(), "--tally", tally_.c_str(),
            "--record", record_.c_str(), "--lifetime", "900", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out[1]);
    auto until = clock_type::now() + std::chrono::milliseconds(SIM_START_MS);
    for (char c = 0; pid_ > 0 && clock_type::now() < until;) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      device_ += c;
    }
    close(out[0]);
  }
  ~gsm_sim() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  gsm_sim(const gsm_sim&) = delete;
  gsm_sim& operator=(const gsm_sim&) = delete;
  const std::string& device() const { return device_; }

  // Characters of the call each way less the echo, once the hang-up is seen.
  long chars() const {
    auto until = clock_type::now() + std::chrono::milliseconds(TALLY_WAIT_MS);
    do {
      std::ifstream in(tally_);
      long call, from, to, echo;
      if (in >> call >> from >> to >> echo) return from + to - echo;
      usleep(10000);
    } while (clock_type::now() < until);
    return -1;
  }
  long sms() const {
    std::ifstream in(record_);
    long n = 0;
    for (std::string line; std::getline(in, line);) n += line.rfind("sms\t", 0) == 0;
    return n;
  }

 private:
  std::string tally_, record_, device_;
  pid_t pid_ = -1;
};

// A short alert per page, one SMS each, all due.
bool fill_spool(const scratch& s, long pages) {
  const int64_t created = time(nullptr) - 60;
  for (long i = 0; i < pages; i++) {
    std::string message = "disk full on host " + std::to_string(i);
    std::string file = "Version: 3\nTries: 0\nPager: alice\n-\nFrom: ops@example.org\nBytes: " +
                       std::to_string(message.size() + 11) + "\nMessage: " + message +
                       "\nCreated: " + std::to_string(created) + " " +
                       callvane::time_text(created) + "\nUniqueID: SMS" + std::to_string(i) + "\n";
    char name[64];
    snprintf(name, sizeof name, "P%lld.%03ld", static_cast<long long>(created), i);
    if (!write_text(s.spool() + "/" + name, file)) return false;
  }
  return true;
}

sample run_once(const settings& cfg, long baud, long pages) {
  sample out;
  scratch s(cfg.base);
  gsm_sim sim(s, baud);
  std::string conf =
      "queuedir=" + s.spool() + "\nlockdir=" + s.locks() + "\nmodem=gsm device=" + sim.device() +
      "\nservice=default device=gsm protocol=sms parity=none baudrate=" + std::to_string(baud) +
      "\npager=alice pagerid=" + NUMBER + "\n";
  if (sim.device().empty() || !write_text(s.conf(), conf) || !fill_spool(s, pages)) return out;
  auto start = clock_type::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    alarm(RUN_LIMIT_SECONDS);
    execl(CALLVANE_BIN, "callvane", "-q", "0", "-C", s.conf().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return out;
  out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  out.chars = sim.chars();
  out.sms = sim.sms();
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.sms == pages && out.chars > 0;
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  settings cfg;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--rounds") == 0)
      cfg.rounds = std::max(1, atoi(argv[i + 1]));
    else if (strcmp(argv[i], "--dir") == 0)
      cfg.base = argv[i + 1];
    else if (strcmp(argv[i], "--sms") == 0)
      cfg.many = std::max(2, atoi(argv[i + 1])) + 1;
    else
      return fprintf(stderr, "usage: %s [--sms N] [--rounds R] [--dir DIR]\n", argv[0]), 2;
  }
  signal(SIGPIPE, SIG_IGN);
  printf(
      "SMS over tapsim --gsm, 8N1 (%d bits a character), runs of %ld and %ld SMS, medians of "
      "%d rounds\n\n",
      BITS_PER_CHAR, cfg.few, cfg.many, cfg.rounds);
  printf("%7s %12s %12s %12s %13s %9s\n", "baud", "run of 1 s", "chars/SMS", "floor ms/SMS",
         "wall ms/SMS", "ratio");
  bool ok = true;
  for (long baud : cfg.bauds) {
    std::vector<double> walls, floors, singles, chars;
    for (int r = 0; r < cfg.rounds; r++) {
      sample few = run_once(cfg, baud, cfg.few), many = run_once(cfg, baud, cfg.many);
      ok = ok && few.ok && many.ok;
      // What each further SMS adds: the call's set-up and hang-up cancel.
      double n = static_cast<double>(cfg.many - cfg.few);
      double per_chars = static_cast<double>(many.chars - few.chars) / n;
      chars.push_back(per_chars);
      walls.push_back((many.seconds - few.seconds) / n);
      floors.push_back(per_chars * BITS_PER_CHAR / static_cast<double>(baud));
      singles.push_back(few.seconds);
      fprintf(stderr, "  %6ld baud, round %d: %.3f s for %ld, %.3f s for %ld%s\n", baud, r + 1,
              few.seconds, cfg.few, many.seconds, cfg.many, few.ok && many.ok ? "" : "  FAILED");
    }
    double wall = median(walls), floor = median(floors);
    printf("%7ld %12.3f %12.1f %12.2f %13.2f %9.2f\n", baud, median(singles), median(chars),
           floor * 1000, wall * 1000, floor > 0 ? wall / floor : 0);
  }
  printf(
      "\nfloor = characters one more SMS puts on the line, both ways, less the echo, x %d / "
      "baud\n",
      BITS_PER_CHAR);
  return ok ? 0 : 1;
}
