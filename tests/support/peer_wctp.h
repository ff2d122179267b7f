// The simulated WCTP carrier (tools/wctpsim) as a test peer.
#pragma once

#include <signal.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/support.h"

namespace testsupport {

// The simulated carrier over HTTPS on 127.0.0.1, for the life of the object;
// `answers` are its --answer options.
class wctp_carrier {
 public:
  explicit wctp_carrier(const std::string& cert, const std::string& key,
                        const std::vector<std::string>& answers = {}) {
    std::vector<std::string> argv{tools_dir() + "/wctpsim/wctpsim",
                                  "--listen",
                                  "127.0.0.1:0",
                                  "--tls-cert",
                                  cert,
                                  "--tls-key",
                                  key,
                                  "--address-file",
                                  dir_.file("address"),
                                  "--log",
                                  dir_.file("log")};
    for (const std::string& a : answers) argv.insert(argv.end(), {"--answer", a});
    pid_ = start_peer(argv);
    address_ = read_file(dir_.file("address"));
    address_.erase(address_.find('\n'));
  }
  ~wctp_carrier() { stop(); }
  void stop() {
    if (pid_ > 0) kill(pid_, SIGTERM);
    end_child(pid_, std::chrono::seconds(5));
    pid_ = -1;
  }
  const std::string& address() const { return address_; }
  std::string url() const { return "https://" + address_ + "/wctp"; }
  std::string log() const { return read_file(dir_.file("log")); }
  // The fields of each request, in order.
  std::vector<std::map<std::string, std::string>> requests() const {
    std::vector<std::map<std::string, std::string>> all;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("request\t", 0) != 0) continue;
      std::map<std::string, std::string> fields;
      std::istringstream parts(line);
      for (std::string part; std::getline(parts, part, '\t');)
        if (size_t eq = part.find('='); eq != std::string::npos)
          fields[part.substr(0, eq)] = part.substr(eq + 1);
      all.push_back(fields);
    }
    return all;
  }
  size_t connections() const {
    std::istringstream lines(log());
    size_t n = 0;
    for (std::string line; std::getline(lines, line);) n += line.rfind("connect\t", 0) == 0;
    return n;
  }

 private:
  temp_dir dir_;
  pid_t pid_ = -1;
  std::string address_;
};

}  // namespace testsupport
