// Device lock files, shared with the host's other dial-out programs.
#include "modem/devicelock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

std::string lock_directory() { return lockdir ? *lockdir : std::string(DEFAULT_LOCKDIR); }

// Creates `path` with exactly mode 0444 (no umask) holding our pid line.
bool write_temp_lock(const std::string& path) {
  // A leftover of an earlier process that had our pid would block O_EXCL.
  unlink(path.c_str());
  mode_t old = umask(0);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0444);
  umask(old);
  if (fd < 0) return false;
  char line[32];
  int n = snprintf(line, sizeof line, "%10lu\n", static_cast<unsigned long>(getpid()));
  bool ok = write(fd, line, static_cast<size_t>(n)) == n;
  if (close(fd) != 0) ok = false;
  return ok;
}

// Owner pid of an existing lock file, 0 when unreadable or not a number.
long lock_owner(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) {
    logmsg(LOG_WARNING, "cannot open existing lockfile");
    return 0;
  }
  char line[100] = "";
  if (fgets(line, sizeof line, f) == nullptr) line[0] = '\0';
  fclose(f);
  const char* p = line;
  while (*p == ' ' || *p == '\t') p++;
  if (!is_digit(static_cast<unsigned char>(*p)) && *p != '-' && *p != '+') return 0;
  errno = 0;
  long pid = strtol(p, nullptr, 10);
  // No process can have an id beyond pid_t; such a lock is stale.
  if (errno == ERANGE || pid > INT_MAX) return 0;
  return pid;
}

bool owner_alive(long pid) {
  if (pid <= 0) return false;
  if (kill(static_cast<pid_t>(pid), 0) == 0) return true;
  return errno != ESRCH;  // EPERM: someone else's live process
}

}  // namespace

std::optional<std::string> lock_name(const std::string& device) {
  size_t slash = device.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return lock_directory() + "/LCK.." + device.substr(slash + 1);
}

int lock_device(const std::string& device) {
  if (verbose()) logmsg(LOG_DEBUG, "locking %s", device.c_str());
  auto name = lock_name(device);
  if (!name) {
    logmsg(LOG_WARNING, "cannot determine lock name for %s", device.c_str());
    return -1;
  }
  char tmpname[64];
  snprintf(tmpname, sizeof tmpname, "/LTMP.%lu", static_cast<unsigned long>(getpid()));
  std::string temp = lock_directory() + tmpname;
  if (!write_temp_lock(temp)) {
    logmsg(LOG_WARNING, "cannot create lockfile: %s", strerror(errno));
    unlink(temp.c_str());
    return -1;
  }
  int result = -1;
  if (link(temp.c_str(), name->c_str()) == 0) {
    result = 0;
  } else if (errno == EEXIST) {
    long owner = lock_owner(*name);
    if (owner_alive(owner)) {
      logmsg(LOG_INFO, "%s already in use", device.c_str());
    } else if (unlink(name->c_str()) != 0 && errno != ENOENT) {
      logmsg(LOG_WARNING, "cannot remove lockfile: %s", strerror(errno));
    } else if (link(temp.c_str(), name->c_str()) != 0) {
      logmsg(LOG_WARNING, "cannot create lockfile: %s", strerror(errno));
    } else {
      result = 0;
    }
  } else {
    logmsg(LOG_WARNING, "cannot create lockfile: %s", strerror(errno));
  }
  unlink(temp.c_str());
  return result;
}

void unlock_device(const std::string& device) {
  if (verbose()) logmsg(LOG_DEBUG, "unlocking %s", device.c_str());
  auto name = lock_name(device);
  if (!name) {
    logmsg(LOG_WARNING, "cannot determine lock name for %s", device.c_str());
    return;
  }
  if (unlink(name->c_str()) != 0)
    logmsg(LOG_WARNING, "cannot unlock lock %s: %s", device.c_str(), strerror(errno));
}

}  // namespace callvane
