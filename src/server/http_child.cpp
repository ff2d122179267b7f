// The daemon's side of the HTTP intake: starting its process and restarting it.
#include "server/http_child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/messageid.h"
#include "common/settings.h"
#include "common/signals.h"
#include "server/http_server.h"

namespace callvane {

namespace {

// A process that dies at once is not started again in a tight loop.
constexpr int64_t RESTART_SECONDS = 1;

int64_t last_start = 0;
pid_t running = 0;  // the process started last, until it is seen gone
bool unusable = false;

}  // namespace

bool keep_http_child(const listeners& fds) {
  if (running != 0 && http_child.load() == 0) {
    // Reaped by the SIGCHLD handler. One that could not listen would only
    // fail again until the configuration changes.
    running = 0;
    int status = http_child_status.load();
    unusable = WIFEXITED(status) && WEXITSTATUS(status) == EXIT_HTTP_UNUSABLE;
  }
  if (!httplisten || running != 0 || unusable) return false;
  int64_t now = time(nullptr);
  if (now - last_start < RESTART_SECONDS) return true;
  last_start = now;
  std::string base_id = new_messageid();
  fflush(nullptr);
  // SIGCHLD is held here, so the child is watched before it can be reaped.
  pid_t pid = fork();
  if (pid == 0) {
    close_listeners(fds);
    serve_http(base_id);
  }
  if (pid < 0) {
    logmsg(LOG_ERR, "fork() failed: %s", strerror(errno));
    return true;
  }
  running = pid;
  http_child.store(pid);
  return false;
}

void restart_http_child() {
  unusable = false;
  if (running != 0 && http_child.load() == running) kill(running, SIGTERM);
}

}  // namespace callvane
