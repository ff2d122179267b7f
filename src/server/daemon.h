// The SNPP daemon: listener, scheduler and queue runs.
#pragma once

#include <cstdint>

namespace callvane {

// Runs the daemon; returns -1 only when start-up fails.
int run_daemon(int32_t interval, uint16_t port);

}  // namespace callvane
