// HTTP for the intake's tests: curl as the client, the real Alertmanager as a peer.
#include "support/http_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/wait.h"

namespace testsupport {

namespace {

const char CURL[] = "/usr/bin/curl";
const char ALERTMANAGER[] = "/usr/bin/prometheus-alertmanager";
const char API[] = "http://127.0.0.1:9093";

}  // namespace

http_reply http_call(const std::string& method, const std::string& url, const std::string& body,
                     const std::vector<std::string>& headers,
                     const std::vector<std::string>& options) {
  std::vector<std::string> argv{CURL, "-s", "-m", "10", "-X", method, "-w", "\n%{http_code}"};
  for (const std::string& h : headers) argv.insert(argv.end(), {"-H", h});
  if (!body.empty()) argv.insert(argv.end(), {"--data-binary", "@-"});
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(url);
  run_options opts;
  opts.input = body;
  run_result r = run(argv, opts);
  size_t nl = r.out.rfind('\n');
  if (nl == std::string::npos) return {};
  return {std::atoi(r.out.c_str() + nl + 1), r.out.substr(0, nl)};
}

alertmanager::alertmanager(const std::string& config) {
  std::string conf = dir_.write("alertmanager.yml", config);
  std::string log = dir_.file("log");
  std::vector<std::string> argv{ALERTMANAGER, "--config.file=" + conf,
                                "--storage.path=" + dir_.file("data"),
                                "--web.listen-address=127.0.0.1:9093",
                                // One instance: no cluster to gossip with.
                                "--cluster.listen-address="};
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    int null = open("/dev/null", O_RDONLY);
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  bool ready =
      wait_until([] { return http_call("GET", std::string(API) + "/-/ready").status == 200; },
                 std::chrono::seconds(20), std::chrono::milliseconds(50));
  if (!ready) throw std::runtime_error("alertmanager did not start: " + this->log());
}

alertmanager::~alertmanager() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  end_child(pid_, std::chrono::seconds(5));
}

bool alertmanager::post_alerts(const std::string& alerts) const {
  return http_call("POST", std::string(API) + "/api/v2/alerts", alerts,
                   {"Content-Type: application/json"})
             .status == 200;
}

std::string alertmanager::log() const { return read_file(dir_.file("log")); }

}  // namespace testsupport
