// Shared by the benchmarks: statistics and scratch spools for the user uucp.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/fileio.h"

namespace bench {

inline constexpr uid_t RUN_AS = 10;  // uucp, whom the program becomes

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t at = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(at, v.size() - 1)];
}

// A scratch tree with spool, locks and run directories that uucp can use,
// removed with everything in it at the end.
class scratch {
 public:
  explicit scratch(const std::string& base) {
    std::string tmpl = base + "/callvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
      perror("mkdtemp");
      exit(1);
    }
    path_ = tmpl;
    chmod(path_.c_str(), 0777);
    for (const char* sub : {"/spool", "/locks", "/run"}) {
      mkdir((path_ + sub).c_str(), 0777);
      chmod((path_ + sub).c_str(), 0777);
    }
  }
  ~scratch() { nftw(path_.c_str(), remove_entry, 64, FTW_DEPTH | FTW_PHYS); }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  const std::string& path() const { return path_; }
  std::string spool() const { return path_ + "/spool"; }
  std::string locks() const { return path_ + "/locks"; }
  std::string conf() const { return path_ + "/callvane.conf"; }

 private:
  static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
  }
  std::string path_;
};

// Writes a whole file, owned by uucp when we are root.
inline bool write_text(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  bool ok = callvane::write_all(fd, text);
  if (geteuid() == 0 && fchown(fd, RUN_AS, RUN_AS) != 0) ok = false;
  return close(fd) == 0 && ok;
}

}  // namespace bench
