// The one logging call: system log, or the terminal with -d / -i.
#pragma once

#include <syslog.h>

namespace callvane {

// printf-style; never fails visibly. LOG_ALERT always reaches the system
// log (as LOG_INFO) unless -d sends everything to standard error.
void logmsg(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Async-signal-safe variant for the handlers of the signals module: writes
// straight to the terminal descriptor, never to the system log.
void logmsg_signal_safe(const char* text);

// True while logmsg runs in the main flow (a handler must not log then).
bool logmsg_busy();

void open_system_log();

}  // namespace callvane
