// The form of a device that names a paging terminal on the network.
#include "config/netdevice.h"

#include <arpa/inet.h>

#include <algorithm>
#include <memory>

#include "common/curl_loader.h"
#include "common/text.h"

namespace callvane {

namespace {

constexpr std::string_view TCP_SCHEME = "tcp";
constexpr std::string_view TLS_SCHEME = "tls";
constexpr std::string_view SNPP_SCHEME = "snpp";
constexpr std::string_view WCTP_SCHEME = "wctp";
// A host name in DNS is at most 253 characters.
constexpr size_t HOST_MAX = 253;

// Letters, digits, hyphens and dots, as host names are written.
bool is_host_name(std::string_view host) {
  if (host.empty() || host.size() > HOST_MAX || host.front() == '-' || host.front() == '.')
    return false;
  for (char c : host) {
    auto u = static_cast<unsigned char>(c);
    if (!is_alnum(u) && c != '-' && c != '.') return false;
  }
  return true;
}

bool is_ipv6_literal(const std::string& host) {
  unsigned char addr[16];
  return inet_pton(AF_INET6, host.c_str(), addr) == 1;
}

bool is_loopback(const std::string& host) {
  unsigned char addr[16];
  if (inet_pton(AF_INET, host.c_str(), addr) == 1) return addr[0] == 127;
  if (inet_pton(AF_INET6, host.c_str(), addr) == 1) {
    static const unsigned char loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::equal(addr, addr + 16, loopback6);
  }
  return false;
}

// Only made once libcurl is loaded, so the table is there to free them.
struct url_free {
  void operator()(CURLU* u) const { curl()->url_cleanup(u); }
};
struct curl_text_free {
  void operator()(char* text) const { curl()->free(text); }
};

// One part of a URL as libcurl reads it, or nullopt when it has none.
std::optional<std::string> url_part(const curl_api& api, CURLU* url, CURLUPart part) {
  char* text = nullptr;
  if (api.url_get(url, part, &text, 0) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::unique_ptr<char, curl_text_free> owned(text);
  return std::string(text);
}

// "wctp:URL": an https URL, or http to this host for tests.
std::optional<net_device> parse_wctp_url(std::string_view url, std::string& why) {
  net_device out;
  out.kind = net_kind::wctp;
  out.url = std::string(url);
  const curl_api* api = curl();
  if (api == nullptr) {
    why = "libcurl not available";
    return std::nullopt;
  }
  std::unique_ptr<CURLU, url_free> parsed(api->url());
  if (!parsed || api->url_set(parsed.get(), CURLUPART_URL, out.url.c_str(), 0) != CURLUE_OK) {
    why = "bad URL";
    return std::nullopt;
  }
  std::optional<std::string> scheme = url_part(*api, parsed.get(), CURLUPART_SCHEME);
  std::optional<std::string> host = url_part(*api, parsed.get(), CURLUPART_HOST);
  if (!scheme || (*scheme != "https" && *scheme != "http")) {
    why = "not an https URL";
    return std::nullopt;
  }
  if (!host || host->empty()) {
    why = "no host";
    return std::nullopt;
  }
  if (host->size() > 2 && host->front() == '[' && host->back() == ']')
    *host = host->substr(1, host->size() - 2);
  out.tls = *scheme == "https";
  // Pages and the carrier's password travel in the clear over http.
  if (!out.tls && !is_loopback(*host)) {
    why = "plain http only to a loopback address";
    return std::nullopt;
  }
  out.host = *host;
  out.port = url_part(*api, parsed.get(), CURLUPART_PORT).value_or("");
  return out;
}

}  // namespace

bool is_net_device(std::string_view device) {
  if (device.empty() || device.front() == '/') return false;
  size_t colon = device.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  for (char c : device.substr(0, colon))
    if (!is_alpha(static_cast<unsigned char>(c))) return false;
  return true;
}

std::optional<net_device> parse_net_device(std::string_view device, std::string& why) {
  size_t colon = device.find(':');
  std::string_view scheme = device.substr(0, colon);
  net_device out;
  if (scheme == TLS_SCHEME) {
    out.kind = net_kind::tls;
    out.tls = true;
  } else if (scheme == SNPP_SCHEME) {
    out.kind = net_kind::snpp;
  } else if (scheme == WCTP_SCHEME) {
    return parse_wctp_url(device.substr(colon + 1), why);
  } else if (scheme != TCP_SCHEME) {
    why = "unknown scheme \"" + std::string(scheme) + "\" (tcp, tls, snpp or wctp)";
    return std::nullopt;
  }
  std::string_view rest = device.substr(colon + 1);
  std::string_view port;
  if (!rest.empty() && rest.front() == '[') {
    size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      why = "no closing bracket";
      return std::nullopt;
    }
    out.host = std::string(rest.substr(1, close - 1));
    if (!is_ipv6_literal(out.host)) {
      why = "bad IPv6 address";
      return std::nullopt;
    }
    if (close + 1 >= rest.size() || rest[close + 1] != ':') {
      why = "no port";
      return std::nullopt;
    }
    port = rest.substr(close + 2);
  } else {
    size_t last = rest.rfind(':');
    if (last == std::string_view::npos) {
      why = "no port";
      return std::nullopt;
    }
    out.host = std::string(rest.substr(0, last));
    port = rest.substr(last + 1);
    if (out.host.find(':') != std::string::npos) {
      why = "an IPv6 address goes in brackets";
      return std::nullopt;
    }
    if (!is_host_name(out.host)) {
      why = out.host.empty() ? "no host" : "bad host";
      return std::nullopt;
    }
  }
  unsigned long number = 0;
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) {
    if (!is_digit(static_cast<unsigned char>(c))) digits = false;
    if (digits) number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (!digits || number < 1 || number > 65535) {
    why = port.empty() ? "no port" : "bad port";
    return std::nullopt;
  }
  out.port = std::string(port);
  return out;
}

std::string net_device_text(const net_device& where) {
  if (where.host.find(':') != std::string::npos) return "[" + where.host + "]:" + where.port;
  return where.host + ":" + where.port;
}

}  // namespace callvane
