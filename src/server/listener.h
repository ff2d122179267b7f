// The daemon's listening sockets, IPv4 and IPv6, on the SNPP port.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace callvane {

// The listening sockets: IPv4, and IPv6 (-1 when the host has none).
using listeners = std::array<int, 2>;

// The port asked for, else the one named "snpp" for TCP, else 444.
uint16_t choose_port(uint16_t port);

// Both sockets bound and listening on `port`, not blocking and closed on
// exec; nothing once the reason is on standard error. A host without IPv6
// gets the IPv4 listener alone, and a log line saying so.
std::optional<listeners> open_listeners(uint16_t port);

void close_listeners(const listeners& fds);

}  // namespace callvane
