// The form of a device that names a paging terminal or carrier on the network.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace callvane {

// How a network device is reached: a TAP terminal over TCP or TLS, a
// carrier's SNPP server, or a carrier's WCTP interface.
enum class net_kind { tcp, tls, snpp, wctp };

// "tcp:HOST:PORT", "tls:HOST:PORT" or "snpp:HOST:PORT", an IPv6 address in
// brackets; or "wctp:URL", an https URL (plain http only to a loopback
// address).
struct net_device {
  net_kind kind = net_kind::tcp;
  bool tls = false;  // TLS on the connection (tls:, and wctp: over https)
  std::string host;  // without the brackets
  std::string port;  // decimal, 1 to 65535; for wctp: empty when the URL has none
  std::string url;   // wctp: only
};

// True for a device text meant as a network terminal: not a path, and a
// scheme before a colon. Such a text is checked by parse_net_device.
bool is_net_device(std::string_view device);

// The parts of a network device, or nullopt with the reason in `why`.
std::optional<net_device> parse_net_device(std::string_view device, std::string& why);

// True for the kinds that are a carrier's own interface rather than a TAP
// terminal.
inline bool is_carrier(const net_device& where) {
  return where.kind == net_kind::snpp || where.kind == net_kind::wctp;
}

// The device as "HOST:PORT" for log lines, the host bracketed when it has colons.
std::string net_device_text(const net_device& where);

}  // namespace callvane
