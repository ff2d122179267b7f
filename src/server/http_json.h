// Reading the JSON bodies of the HTTP intake: page requests and alert notifications.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace callvane {

// Most bytes of a request body: a page of MAX_MESSAGE_TEXT with room for
// its recipients and the JSON around them, or a notification of many alerts.
inline constexpr size_t MAX_HTTP_BODY = 256 * 1024;

// What a request got wrong: the field (or "body") and why.
struct field_error {
  std::string field;
  std::string reason;
};

// A page as POST /api/v1/pages describes it; fields checked for form only
// (names and services are looked up where the page is made).
struct page_request {
  std::vector<std::string> to;
  std::string message;
  std::optional<std::string> from;
  int32_t level = 1;
  std::optional<std::string> hold;  // HOLDuntil text
  std::optional<std::string> coverage;
};

std::variant<page_request, field_error> read_page_request(const std::string& body);

struct alert {
  std::string status;  // "firing" or "resolved"
  std::string name;
  std::string summary;
};

// One webhook notification (a group of alerts).
struct notification {
  std::string status;
  std::vector<alert> alerts;
  size_t truncated = 0;  // alerts the sender left out
};

enum class webhook { alertmanager, grafana };

std::variant<notification, field_error> read_notification(webhook kind, const std::string& body);

// The pager text of a notification, at most `limit` bytes: status and count
// first, then each alert's name and summary.
std::string pager_text(const notification& n, size_t limit);

// {"error": ..., "field": ...} as a JSON text.
std::string error_json(const field_error& e);

}  // namespace callvane
