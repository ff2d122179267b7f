// The HTTP intake's requests: who may make them, and what each path does.
#include "server/http_routes.h"

#include <tcpd.h>

#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "server/http_metrics.h"

namespace callvane {

namespace {

constexpr const char* DAEMON_NAME = "callvane-http";  // the name in hosts.allow / hosts.deny
constexpr std::string_view PAGES = "/api/v1/pages";
constexpr std::string_view PAGE_BY_ID = "/api/v1/pages/";
constexpr std::string_view ALERTMANAGER = "/api/v1/alertmanager/";
constexpr std::string_view GRAFANA = "/api/v1/grafana/";
constexpr std::string_view METRICS = "/metrics";
constexpr std::string_view BEARER = "Bearer ";

enum class route { none, post_page, page_status, alertmanager, grafana, metrics };

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The route of a path and whether the method fits it.
route route_of(const http_request& req, bool& method_ok) {
  std::string_view path = req.path;
  route r = route::none;
  bool post = true;
  if (path == PAGES) {
    r = route::post_page;
  } else if (starts_with(path, PAGE_BY_ID) && path.size() > PAGE_BY_ID.size()) {
    r = route::page_status;
    post = false;
  } else if (starts_with(path, ALERTMANAGER) && path.size() > ALERTMANAGER.size()) {
    r = route::alertmanager;
  } else if (starts_with(path, GRAFANA) && path.size() > GRAFANA.size()) {
    r = route::grafana;
  } else if (path == METRICS) {
    r = route::metrics;
    post = false;
  }
  method_ok = req.method == (post ? "POST" : "GET");
  return r;
}

// Compares without stopping at the first difference, so that the time
// taken tells nothing of how much of a token was right.
bool same_secret(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n; i++) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
    diff = static_cast<unsigned char>(diff | (x ^ y));
  }
  return diff == 0;
}

bool token_valid(const std::optional<std::string>& authorization) {
  if (!authorization || !starts_with(*authorization, BEARER)) return false;
  std::string_view offered = std::string_view(*authorization).substr(BEARER.size());
  bool valid = false;
  // Every token is compared, whichever matches.
  for (const std::string& token : httptokens) valid = same_secret(offered, token) || valid;
  return valid;
}

// The host access rules, as for SNPP but under a daemon name of their own.
bool host_allowed(int fd) {
  struct request_info request;
  if (request_init(&request, RQ_DAEMON, DAEMON_NAME, RQ_FILE, fd, 0) == nullptr) return false;
  sock_host(&request);
  return hosts_access(&request) != 0;
}

http_answer error(unsigned status, const char* field, const char* reason) {
  return {status, error_json({field, reason})};
}

std::vector<std::string> split_recipients(std::string_view list) {
  std::vector<std::string> names;
  std::optional<std::string_view> state(list);
  std::string name;
  while (next_token(state, ",", name))
    if (!name.empty()) names.push_back(name);
  return names;
}

http_answer webhook_answer(webhook kind, std::string_view names, const http_request& req,
                           const std::string& body, const std::string& id) {
  auto read = read_notification(kind, body);
  if (auto* e = std::get_if<field_error>(&read)) return {HTTP_BAD_REQUEST, error_json(*e)};
  const notification& n = std::get<notification>(read);
  std::vector<std::string> to = split_recipients(names);
  if (to.empty()) return error(HTTP_BAD_REQUEST, "to", "no recipients in the path");
  if (n.status == "resolved" && !req.resolved_wanted)
    return {HTTP_OK, "{\"queued\":false,\"reason\":\"resolved notifications are not paged\"}"};
  return queue_notification(n, to, {id, req.host});
}

}  // namespace

std::optional<http_answer> answer_before_body(const http_request& req,
                                              std::optional<size_t> announced) {
  if (!host_allowed(req.fd)) {
    logmsg(LOG_INFO, "HTTP request refused from %s", safe_string(req.host));
    return error(HTTP_FORBIDDEN, "host", "permission denied by administrator");
  }
  bool method_ok = false;
  route r = route_of(req, method_ok);
  if (r == route::none) return error(HTTP_NOT_FOUND, "path", "no such resource");
  if (!method_ok) return error(HTTP_METHOD_NOT_ALLOWED, "method", "not allowed here");
  bool open = r == route::metrics && httpopenmetrics;
  if (!open && !token_valid(req.authorization)) {
    logmsg(LOG_NOTICE, "HTTP request without a valid token from %s", safe_string(req.host));
    return error(HTTP_UNAUTHORIZED, "authorization", "a valid bearer token is required");
  }
  if (announced && *announced > MAX_HTTP_BODY) return error(HTTP_TOO_LARGE, "body", "too large");
  return std::nullopt;
}

http_answer answer(const http_request& req, const std::string& body, const std::string& id) {
  bool method_ok = false;
  std::string_view path = req.path;
  switch (route_of(req, method_ok)) {
    case route::post_page: {
      auto read = read_page_request(body);
      if (auto* e = std::get_if<field_error>(&read)) return {HTTP_BAD_REQUEST, error_json(*e)};
      return queue_page_request(std::get<page_request>(read), {id, req.host});
    }
    case route::page_status:
      return page_status(std::string(path.substr(PAGE_BY_ID.size())));
    case route::alertmanager:
      return webhook_answer(webhook::alertmanager, path.substr(ALERTMANAGER.size()), req, body, id);
    case route::grafana:
      return webhook_answer(webhook::grafana, path.substr(GRAFANA.size()), req, body, id);
    case route::metrics:
      return {HTTP_OK, metrics_text(), METRICS_TYPE};
    case route::none:
      break;
  }
  return error(HTTP_NOT_FOUND, "path", "no such resource");
}

bool queues_page(const http_request& req) {
  bool method_ok = false;
  route r = route_of(req, method_ok);
  return r == route::post_page || r == route::alertmanager || r == route::grafana;
}

}  // namespace callvane
