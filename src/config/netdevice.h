// The form of a device that names a paging terminal on the network.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace callvane {

// "tcp:HOST:PORT" or "tls:HOST:PORT"; an IPv6 address goes in brackets.
struct net_device {
  bool tls = false;
  std::string host;  // without the brackets
  std::string port;  // decimal, 1 to 65535
};

// True for a device text meant as a network terminal: not a path, and a
// scheme before a colon. Such a text is checked by parse_net_device.
bool is_net_device(std::string_view device);

// The parts of a network device, or nullopt with the reason in `why`.
std::optional<net_device> parse_net_device(std::string_view device, std::string& why);

// The device as "HOST:PORT" for log lines, the host bracketed when it has colons.
std::string net_device_text(const net_device& where);

}  // namespace callvane
