// Starting the simulated modem and paging terminal, and reading what it recorded.
#include "support/pty_sim.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace testsupport {

std::string tapsim_path() { return tools_dir() + "/tapsim/tapsim"; }

pty_sim::pty_sim(const std::vector<std::string>& args) : dir_(std::make_unique<temp_dir>()) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> argv{tapsim_path(), "--record", dir_->file("record"), "--lifetime",
                                "300"};
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    std::vector<char*> a;
    for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
    a.push_back(nullptr);
    execv(a[0], a.data());
    _exit(127);
  }
  close(out[1]);
  // The first line is the slave device path.
  std::string line;
  read_until(out[0], "\n", line, std::chrono::seconds(10));
  line = line.substr(0, line.find('\n'));
  close(out[0]);
  if (line.empty()) {
    stop();
    throw std::runtime_error("tapsim did not start");
  }
  device_ = line;
}

pty_sim::~pty_sim() { stop(); }

void pty_sim::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string pty_sim::record() const { return read_file(dir_->file("record")); }

std::vector<std::vector<std::string>> pty_sim::events(const std::string& kind) const {
  std::vector<std::vector<std::string>> result;
  std::istringstream in(record());
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream ls(line);
    while (std::getline(ls, field, '\t')) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.push_back("");
    if (!fields.empty() && fields[0] == kind) result.push_back(fields);
  }
  return result;
}

}  // namespace testsupport
