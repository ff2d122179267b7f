// Loading the configuration: a fresh start, the file, then the directory checks.
//
// The parser never stops at a problem: every fault is logged (most with the
// file name and line number in front), most are counted, and reading goes on, so
// one load shows every mistake at once.
#include "config/loader.h"

#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "config/config.h"
#include "config/reader.h"
#include "config/records.h"

namespace callvane {

int parse_config(const std::string& path) {
  // A nested call from inside an include is handled by parse_file itself.
  start_load();
  return parse_file(path, nullptr);
}

void clear_config() {
  free_modems(modems);
  free_services(services);
  free_pagers(pagers);
  free_groups(groups);
  defservice = nullptr;
  administrator.reset();
  forcehostname.reset();
  queuedir.reset();
  lockdir = DEFAULT_LOCKDIR;
  identtimeout = 10;
  snpptimeout = 60;
  maxsessions = DEFAULT_MAXSESSIONS;
  lines = DEFAULT_LINES;
  httplisten.reset();
  httpcert.reset();
  httpkey.reset();
  httptokens.clear();
  httptimeout = DEFAULT_HTTPTIMEOUT;
  httpopenmetrics = false;
}

int read_config(const std::string& path) {
  clear_config();
  int count = parse_config(path);
  // A configuration file that cannot be read is one error: the load must
  // fail however the directory checks below come out.
  if (count < 0) count = 1;

  int err = 0;
  if (!accessible(*lockdir, R_OK | W_OK | X_OK, err)) {
    logmsg(LOG_ERR, "cannot access LockDir(%s): %s", escaped(*lockdir).c_str(), strerror(err));
    count++;
  }
  if (!queuedir) {
    logmsg(LOG_ERR, "no queue directory specified!");
    return count + 1;
  }
  return count;
}

}  // namespace callvane
