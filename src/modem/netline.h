// Paging terminals reached over TCP or TLS instead of through a modem.
#pragma once

#include <string>

#include "config/config.h"
#include "config/netdevice.h"

namespace callvane {

// Most seconds for the connection to one address, and for the TLS handshake.
inline constexpr int NET_CONNECT_SECONDS = 30;

// Connects to the modem record's network terminal (trying every address
// its host resolves to, in order) and, for tls:, completes a verified
// handshake. The descriptor, with its bytes routed through the line
// functions, or -1 after the log line that says why.
int open_net_line(const modem& mdm, const net_device& where);

// Ends TLS with its close notice and closes the descriptor.
void close_net_line(int fd);

}  // namespace callvane
