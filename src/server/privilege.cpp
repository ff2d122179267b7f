#include "server/privilege.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "common/log.h"
#include "common/settings.h"

namespace callvane {

void drop_root() {
  if (geteuid() != 0) return;
  logmsg(LOG_INFO, "giving up root privileges");
  if (struct passwd* pw = getpwnam("uucp")) {
    if (debug) logmsg(LOG_DEBUG, "becoming user '%s'", pw->pw_name);
    // Results are deliberately not checked: the check below reports a
    // process that is still root. The group id goes too, so that the
    // process does not keep the rights of root's group after the switch.
    int r = initgroups(pw->pw_name, pw->pw_gid);
    r = setgid(pw->pw_gid);
    r = setuid(pw->pw_uid);
    (void)r;
  }
  if (geteuid() == 0) logmsg(LOG_WARNING, "warning: daemon is running as root!");
}

}  // namespace callvane
