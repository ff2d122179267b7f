// Times one queue run delivering N pages through one connection to each kind of network carrier.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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

#include "common/page.h"
#include "queue/queuefile.h"
#include "support/bench_support.h"

namespace {

using namespace bench;
using clock_type = std::chrono::steady_clock;

const int RUN_LIMIT_SECONDS = 300;  // one queue run that takes longer is killed
const int PEER_LIFETIME_SECONDS = 600;
const int PEER_START_MS = 10000;  // for a carrier to say where it listens
const int STOP_WAIT_MS = 5000;
const int OPENSSL_LIMIT_SECONDS = 60;
const int WRITE_RETRIES = 50;  // only 1000 queue names exist per second
const char* const PAGER_ID = "1234567";
const long SNPPPEER_PAGES = 500;
const char* const OPENSSL_BIN = "openssl";  // looked up in PATH

enum class kind { tap_tcp, tap_tls, snpp, wctp_http, wctp_https };

struct carrier {
  kind what;
  const char* key;   // for --carriers
  const char* name;  // in the table
  bool tls;
};
const carrier CARRIERS[] = {{kind::tap_tcp, "tap", "TAP, TCP", false},
                            {kind::tap_tls, "taptls", "TAP, TLS", true},
                            {kind::snpp, "snpp", "SNPP (snpppeer)", false},
                            {kind::wctp_http, "wctp", "WCTP, http", false},
                            {kind::wctp_https, "wctps", "WCTP, https", true}};

struct settings {
  long pages = 200;
  int rounds = 3;
  bool baseline = true;
  std::vector<const carrier*> carriers;
  std::string base = "/tmp";
};

// The test CA and the carrier's certificate, made once for every TLS row.
struct certificates {
  std::string ca, cert, key;
  bool ok = false;
};

// ---- child processes ----

// Starts a program with standard output on a pipe (or /dev/null); the alarm
// is kept across exec, so even an orphaned carrier ends by itself.
pid_t spawn(const std::vector<std::string>& argv, int* out, const std::string& err_path,
            int limit) {
  int fds[2] = {-1, -1};
  if (out != nullptr && pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null = open("/dev/null", O_RDWR);
    int err = err_path.empty() ? null : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(out != nullptr ? fds[1] : null, 1);
    dup2(err, 2);
    if (out != nullptr) {
      close(fds[0]);
      close(fds[1]);
    }
    alarm(static_cast<unsigned>(limit));
    std::vector<const char*> args;
    for (const std::string& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    execvp(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  if (out != nullptr) {
    close(fds[1]);
    *out = pid > 0 ? fds[0] : (close(fds[0]), -1);
  }
  return pid;
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (wait_child(pid, STOP_WAIT_MS) < 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// A port on 127.0.0.1 that was free a moment ago, for a peer that wants one named.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

bool run_openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{OPENSSL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_t pid = spawn(argv, nullptr, "", OPENSSL_LIMIT_SECONDS);
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// A CA and a certificate it signed for 127.0.0.1, both EC P-256 (quick to make).
certificates make_certificates(const std::string& dir) {
  certificates c{dir + "/ca.pem", dir + "/cert.pem", dir + "/key.pem"};
  const std::string cakey = dir + "/ca.key", csr = dir + "/cert.csr", ext = dir + "/ext.cnf";
  const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                    "-nodes"};
  std::vector<std::string> ca{"req",     "-x509",
                              "-days",   "2",
                              "-subj",   "/CN=carrier_rate test CA",
                              "-addext", "basicConstraints=critical,CA:TRUE",
                              "-addext", "keyUsage=critical,keyCertSign,cRLSign",
                              "-keyout", cakey,
                              "-out",    c.ca};
  std::vector<std::string> req{"req",     "-new", "-subj", "/CN=127.0.0.1",
                               "-keyout", c.key,  "-out",  csr};
  ca.insert(ca.begin() + 2, ec.begin(), ec.end());
  req.insert(req.begin() + 2, ec.begin(), ec.end());
  c.ok = run_openssl(ca) && run_openssl(req) &&
         write_text(ext,
                    "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                    "subjectAltName=IP:127.0.0.1\n") &&
         run_openssl({"x509", "-req", "-days", "2", "-in", csr, "-CA", c.ca, "-CAkey", cakey,
                      "-CAcreateserial", "-extfile", ext, "-out", c.cert});
  // The program reads the CA as uucp.
  chmod(c.ca.c_str(), 0644);
  return c;
}

// ---- the carrier ----

// One carrier simulator for one run, with what it counted afterwards.
class peer {
 public:
  peer(const carrier& c, const scratch& s, const certificates& certs)
      : what_(c.what), log_(s.path() + "/carrier.log") {
    std::vector<std::string> argv;
    size_t lines = 1;
    std::string port;
    if (what_ == kind::tap_tcp || what_ == kind::tap_tls) {
      argv = {TAPSIM_BIN, "--listen", "127.0.0.1:0", "--record", log_};
    } else if (what_ == kind::snpp) {
      // It answers one client with the default replies, however many pages.
      port = std::to_string(free_port());
      argv = {SNPPPEER_BIN, port, "/dev/null", log_};
    } else {
      argv = {WCTPSIM_BIN, "--listen", "127.0.0.1:0", "--log", log_};
      lines = 2;
    }
    if (c.tls) argv.insert(argv.end(), {"--tls-cert", certs.cert, "--tls-key", certs.key});
    int out = -1;
    pid_ = spawn(argv, &out, s.path() + "/carrier.err", PEER_LIFETIME_SECONDS);
    if (pid_ <= 0) return;
    std::vector<std::string> said = first_lines(out, lines, PEER_START_MS);
    close(out);
    if (said.size() < lines) return;
    std::string where = what_ == kind::snpp ? "127.0.0.1:" + port : said[0];
    switch (what_) {
      case kind::tap_tcp:
        device_ = "tcp:" + where;
        break;
      case kind::tap_tls:
        device_ = "tls:" + where;
        break;
      case kind::snpp:
        device_ = "snpp:" + where;
        break;
      case kind::wctp_http:
        device_ = "wctp:http://" + where + "/wctp";
        break;
      case kind::wctp_https:
        device_ = "wctp:https://" + where + "/wctp";
        break;
    }
  }
  ~peer() { stop(pid_); }
  peer(const peer&) = delete;
  peer& operator=(const peer&) = delete;

  const std::string& device() const { return device_; }

  // Ends the simulator (snpppeer has ended after QUIT) so its log is
  // complete, then counts connections and pages accepted.
  void finish(long& connections, long& accepted) {
    if (what_ == kind::snpp) {
      if (wait_child(pid_, STOP_WAIT_MS) < 0) stop(pid_);
    } else {
      stop(pid_);
    }
    pid_ = -1;
    connections = what_ == kind::snpp ? 1 : 0;
    accepted = 0;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
      auto starts = [&line](const char* p) { return line.rfind(p, 0) == 0; };
      if (what_ == kind::tap_tcp || what_ == kind::tap_tls) {
        connections += starts("login\t");
        accepted += starts("block\t");
      } else if (what_ == kind::snpp) {
        // The log holds what the client sent; messages here never start so.
        accepted += starts("SEND");
      } else {
        connections += starts("connect\t");
        accepted += starts("request\t");
      }
    }
  }

 private:
  kind what_;
  std::string log_, device_;
  pid_t pid_ = -1;
};

// ---- spool and configuration ----

// N pages for alice, written by the daemon's own writer and given to uucp.
bool fill_spool(const scratch& s, long pages) {
  if (chdir(s.spool().c_str()) != 0) return false;
  bool ok = true;
  for (long i = 0; i < pages && ok; i++) {
    callvane::page p;
    p.created = time(nullptr);
    p.message = "disk full on host db" + std::to_string(i);
    p.from = "ops@example.org";
    p.hostname = "gw.example.org";
    p.messageid = "CRR" + std::to_string(i);
    callvane::rcpt r;
    r.pager = "alice";
    p.rcpts.push_back(r);
    int result = -1;
    for (int t = 0; t < WRITE_RETRIES && result != 1; t++) {
      result = callvane::write_new_page(p);
      if (result != 1) usleep(100000);
    }
    ok = result == 1 && p.filename &&
         (geteuid() != 0 || chown(p.filename->c_str(), RUN_AS, RUN_AS) == 0);
  }
  return chdir("/") == 0 && ok;
}

bool write_config(const scratch& s, const carrier& c, const std::string& device,
                  const certificates& certs) {
  std::string modem = "modem=carrier device=" + device;
  std::string service = "service=default device=carrier";
  if (c.what == kind::tap_tcp || c.what == kind::tap_tls)
    service += " password=000000";
  else
    modem += " login=acme password=xyzzy";
  if (c.tls) modem += " cafile=" + certs.ca;
  return write_text(s.conf(), "queuedir=" + s.spool() + "\nlockdir=" + s.locks() + "\n" + modem +
                                  "\n" + service + "\npager=alice pagerid=" + PAGER_ID + "\n");
}

// ---- one run ----

struct sample {
  double seconds = 0;
  long errors = 0;  // pages not delivered
  bool ok = false;
  std::string failure;
};

sample run_once(const settings& cfg, const carrier& c, const certificates& certs, long pages) {
  sample out;
  out.errors = pages;
  scratch s(cfg.base);
  peer carrier_end(c, s, certs);
  if (carrier_end.device().empty()) {
    out.failure = "carrier did not start" + last_log_line(s.path() + "/carrier.err");
    return out;
  }
  if (!write_config(s, c, carrier_end.device(), certs) || !fill_spool(s, pages)) {
    out.failure = "cannot write the spool";
    return out;
  }
  const std::string log_path = s.path() + "/stderr";
  auto start = clock_type::now();
  pid_t pid =
      spawn({CALLVANE_BIN, "-q", "0", "-C", s.conf()}, nullptr, log_path, RUN_LIMIT_SECONDS);
  int status = -1;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return out;
  out.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  long connections = 0, accepted = 0, left = queue_files(s.spool());
  carrier_end.finish(connections, accepted);
  out.errors = left < 0 ? pages : left;
  out.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && left == 0 && accepted == pages &&
           connections == 1;
  if (!out.ok)
    out.failure = "status " + std::to_string(status) + ", connections " +
                  std::to_string(connections) + ", accepted by the carrier " +
                  std::to_string(accepted) + ", pages left " + std::to_string(left) +
                  last_log_line(log_path);
  return out;
}

struct row {
  const carrier* c = nullptr;
  double seconds = 0, one_page = 0;
  long errors = 0;
  bool ok = true;
};

row measure(const settings& cfg, const carrier& c, const certificates& certs) {
  row r{&c};
  std::vector<double> runs, singles;
  for (int i = 0; i < cfg.rounds; i++) {
    sample one = run_once(cfg, c, certs, cfg.pages);
    fprintf(stderr, "  %-16s %5ld pages, round %d: %.3f s%s%s\n", c.name, cfg.pages, i + 1,
            one.seconds, one.ok ? "" : "  FAILED: ", one.failure.c_str());
    r.ok = r.ok && one.ok;
    r.errors += one.errors;
    runs.push_back(one.seconds);
    if (!cfg.baseline) continue;
    sample single = run_once(cfg, c, certs, 1);
    fprintf(stderr, "  %-16s %5d page,  round %d: %.3f s%s%s\n", c.name, 1, i + 1, single.seconds,
            single.ok ? "" : "  FAILED: ", single.failure.c_str());
    r.ok = r.ok && single.ok;
    singles.push_back(single.seconds);
  }
  r.seconds = median(runs);
  r.one_page = median(singles);
  return r;
}

int usage(const char* program) {
  fprintf(stderr,
          "usage: %s [--pages N] [--rounds R] [--carriers tap,taptls,snpp,wctp,wctps] "
          "[--baseline yes|no] [--dir DIR]\n",
          program);
  return 2;
}

bool pick_carriers(settings& cfg, std::string list) {
  cfg.carriers.clear();
  for (size_t at = 0; at <= list.size();) {
    size_t comma = std::min(list.find(',', at), list.size());
    std::string key = list.substr(at, comma - at);
    const carrier* found = nullptr;
    for (const carrier& c : CARRIERS)
      if (key == c.key) found = &c;
    if (found == nullptr) return false;
    cfg.carriers.push_back(found);
    at = comma + 1;
  }
  return !cfg.carriers.empty();
}

}  // namespace

int main(int argc, char** argv) {
  settings cfg;
  for (const carrier& c : CARRIERS) cfg.carriers.push_back(&c);
  for (int i = 1; i < argc; i += 2) {
    std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return usage(argv[0]);
    if (arg == "--pages")
      cfg.pages = std::max(1L, atol(value));
    else if (arg == "--rounds")
      cfg.rounds = std::max(1, atoi(value));
    else if (arg == "--carriers" && pick_carriers(cfg, value))
      continue;
    else if (arg == "--baseline")
      cfg.baseline = strcmp(value, "no") != 0;
    else if (arg == "--dir")
      cfg.base = value;
    else
      return usage(argv[0]);
  }
  signal(SIGPIPE, SIG_IGN);
  // snpppeer ends itself 30 s after it starts, and a page costs it ~45 ms.
  if (cfg.pages > SNPPPEER_PAGES &&
      std::any_of(cfg.carriers.begin(), cfg.carriers.end(),
                  [](const carrier* c) { return c->what == kind::snpp; }))
    fprintf(stderr, "note: beyond about %ld pages the SNPP row outlives snpppeer (30 s)\n",
            SNPPPEER_PAGES);

  scratch keys(cfg.base);
  certificates certs;
  bool want_tls = std::any_of(cfg.carriers.begin(), cfg.carriers.end(),
                              [](const carrier* c) { return c->tls; });
  if (want_tls) {
    certs = make_certificates(keys.path());
    if (!certs.ok) fprintf(stderr, "openssl could not make the test CA: TLS rows skipped\n");
  }
  std::vector<row> rows;
  for (const carrier* c : cfg.carriers)
    if (!c->tls || certs.ok) rows.push_back(measure(cfg, *c, certs));

  printf("\nOne `callvane -q 0` delivering %ld pages over one connection, medians of %d rounds\n\n",
         cfg.pages, cfg.rounds);
  printf("%-16s %7s %9s %9s %9s %8s\n", "carrier", "pages", "run (s)", "pages/s", "ms/page",
         "errors");
  bool all_ok = !want_tls || certs.ok;
  for (const row& r : rows) {
    printf("%-16s %7ld %9.3f %9.1f %9.3f %8ld%s\n", r.c->name, cfg.pages, r.seconds,
           r.seconds > 0 ? static_cast<double>(cfg.pages) / r.seconds : 0,
           r.seconds * 1e3 / static_cast<double>(cfg.pages), r.errors,
           r.ok ? "" : "  (a round failed)");
    all_ok = all_ok && r.ok;
  }
  if (cfg.baseline && cfg.pages > 1) {
    printf(
        "\nFixed cost and cost per further page: a run of 1 page (start-up, connection, login,\n"
        "logout) against the run of %ld, medians\n\n",
        cfg.pages);
    printf("%-16s %13s %18s %16s\n", "carrier", "1 page (s)", "each further (ms)",
           "further pages/s");
    for (const row& r : rows) {
      double extra = (r.seconds - r.one_page) * 1e3 / static_cast<double>(cfg.pages - 1);
      printf("%-16s %13.3f %18.3f %16.1f\n", r.c->name, r.one_page, extra,
             extra > 0 ? 1e3 / extra : 0);
    }
  }
  printf("\nerrors: pages still in the spool after a run, summed over the rounds\n");
  return all_ok ? 0 : 1;
}
