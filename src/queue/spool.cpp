// Entering the spool directory, where queue files and the queue lock live.
#include "queue/spool.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/loader.h"

namespace callvane {

int enter_spool() {
  if (!queuedir) return 0;
  // A copy: safe_string reuses its area.
  const std::string name = safe_string(*queuedir);
  int problems = 0;
  if (access(queuedir->c_str(), R_OK | W_OK | X_OK) != 0) {
    logmsg(LOG_ERR, "cannot access QueueDir(%s): %s", name.c_str(), strerror(errno));
    problems++;
  }
  if (chdir(queuedir->c_str()) != 0) {
    logmsg(LOG_ERR, "cannot chdir to QueueDir(%s): %s", name.c_str(), strerror(errno));
    problems++;
  }
  return problems;
}

int load_config_and_spool(const std::string& path) {
  int problems = read_config(path);
  if (!interactive) problems += enter_spool();
  return problems;
}

}  // namespace callvane
