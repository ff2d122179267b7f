// Giving up root privileges for the run-as user "uucp".
#include "common/privilege.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/settings.h"

namespace callvane {

namespace {

constexpr const char* RUN_AS_USER = "uucp";

// The group identity to return to when the switch cannot be completed.
struct group_identity {
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

bool save_groups(group_identity& saved) {
  saved.gid = getgid();
  int n = getgroups(0, nullptr);
  if (n < 0) return false;
  saved.groups.resize(static_cast<size_t>(n));
  n = getgroups(n, saved.groups.data());
  if (n < 0) return false;
  saved.groups.resize(static_cast<size_t>(n));
  return true;
}

// Undoes initgroups and setgid; only the user id was never changed.
void restore_groups(const group_identity& saved) {
  int r = setgroups(saved.groups.size(), saved.groups.data());
  r = setgid(saved.gid);
  (void)r;
}

// All three or nothing: a process with uucp's groups but root's user id (or
// the reverse) would be neither safe nor what the log says. errno tells why
// on failure.
bool become(const struct passwd& pw) {
  group_identity saved;
  if (!save_groups(saved)) return false;
  if (initgroups(pw.pw_name, pw.pw_gid) != 0) return false;
  if (setgid(pw.pw_gid) != 0 || setuid(pw.pw_uid) != 0) {
    int err = errno;
    restore_groups(saved);
    errno = err;
    return false;
  }
  return true;
}

}  // namespace

void drop_root() {
  if (geteuid() != 0) return;
  logmsg(LOG_INFO, "giving up root privileges");
  if (struct passwd* pw = getpwnam(RUN_AS_USER)) {
    // getpwnam's record is static; later lookups (initgroups) may reuse it.
    std::string name = pw->pw_name;
    struct passwd user = *pw;
    user.pw_name = name.data();
    if (debug) logmsg(LOG_DEBUG, "becoming user '%s'", name.c_str());
    if (!become(user))
      logmsg(LOG_ERR, "cannot become user '%s': %s", name.c_str(), strerror(errno));
  }
  if (geteuid() == 0) logmsg(LOG_WARNING, "warning: daemon is running as root!");
}

}  // namespace callvane
