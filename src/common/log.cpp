#include "common/log.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/signals.h"

namespace callvane {

namespace {
volatile sig_atomic_t in_logmsg = 0;
}

bool logmsg_busy() { return in_logmsg != 0; }

void open_system_log() { openlog("callvane", LOG_PID | LOG_NDELAY | LOG_NOWAIT, LOG_DAEMON); }

void logmsg(int level, const char* format, ...) {
  bool to_terminal_stdout = interactive;
  if (level == LOG_ALERT) {
    to_terminal_stdout = false;
    level = LOG_INFO;
  }

  char small[512];
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  std::vector<char> big;
  const char* text = small;
  if (n >= static_cast<int>(sizeof small)) {
    big.resize(static_cast<size_t>(n) + 1);
    vsnprintf(big.data(), big.size(), format, ap2);
    text = big.data();
  }
  va_end(ap2);
  if (n < 0) text = "";

  in_logmsg = 1;
  if (to_terminal_stdout || debug > 0) {
    FILE* out = to_terminal_stdout ? stdout : stderr;
    // One write per line: processes that share the stream (delivery
    // processes of one run) must not cut into each other's lines.
    std::string line = text;
    line += '\n';
    fwrite(line.data(), 1, line.size(), out);
    fflush(out);
  } else {
    syslog(level, "%s", text);
  }
  in_logmsg = 0;
  // A SIGTERM that arrived while we held the streams is acted on now.
  handle_pending_term();
}

void logmsg_signal_safe(const char* text) {
  int fd = interactive ? STDOUT_FILENO : STDERR_FILENO;
  // Text and line end in one write where they fit, as logmsg does.
  char line[256];
  size_t len = strlen(text);
  bool whole = len + 1 < sizeof line;
  if (whole) {
    memcpy(line, text, len);
    line[len++] = '\n';
    text = line;
  }
  while (len > 0) {
    ssize_t w = write(fd, text, len);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += w;
    len -= static_cast<size_t>(w);
  }
  if (whole) return;
  ssize_t ignored = write(fd, "\n", 1);
  (void)ignored;
}

}  // namespace callvane
