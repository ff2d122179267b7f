// Accepting one SNPP connection: access rules, identity, session child.
#pragma once

#include <sys/types.h>

namespace callvane {

// Accepts one connection (IPv4 or IPv6) on `listen_fd` and forks its
// session child, which closes `listen_fd` and `other_listener` (when not
// -1). With `at_limit` the connection gets a 421 line and is closed at
// once, without a child. Returns the child's pid, or 0 when none was made.
pid_t serve_connection(int listen_fd, bool at_limit, int other_listener = -1);

}  // namespace callvane
