// The daemon's side of the HTTP intake: starting its process and restarting it.
#pragma once

#include "server/listener.h"

namespace callvane {

// Starts the HTTP intake process when httplisten is set and none runs, at
// most once a second; one that could not set up its listener is started
// again only after a reload. True while one is due but waits for its second.
bool keep_http_child(const listeners& fds);

// After a reload: ends the running process, so that the next one serves
// the configuration now loaded.
void restart_http_child();

}  // namespace callvane
