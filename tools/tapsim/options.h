// The simulator's command line: its options and the per-call fault script.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace callvane::tapsim {

struct options {
  std::string link, path_file, pid_file, owner, record, tally, listen, tls_cert, tls_key;
  int lifetime = 0;
  long baud = 0;
  bool verbose = false;
  bool gsm = false;  // a GSM modem that sends SMS, not a TAP terminal
  std::map<std::string, std::vector<std::string>> per_call;

  // The value for call number `call` (1 on): the Nth value given, or the last.
  std::string get(const std::string& name, int call, const std::string& dflt) const {
    auto it = per_call.find(name);
    if (it == per_call.end() || it->second.empty()) return dflt;
    size_t i = call < 1 ? 0 : static_cast<size_t>(call - 1);
    return i < it->second.size() ? it->second[i] : it->second.back();
  }
  int num(const std::string& name, int call, int dflt) const {
    return std::atoi(get(name, call, std::to_string(dflt)).c_str());
  }
};

// Reads the command line into `opt`: nullopt to go on, else the status to
// exit with (after the help text, or a usage error on standard error).
std::optional<int> parse_options(int argc, char** argv, options& opt);

// Says what is wrong on standard error; the usage error status.
int usage_error(const char* what);

}  // namespace callvane::tapsim
