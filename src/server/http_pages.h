// Pages from HTTP requests: queued as SNPP queues them, and their state by id.
#pragma once

#include <string>
#include <vector>

#include "server/http_json.h"

namespace callvane {

// The statuses the intake answers with.
inline constexpr unsigned HTTP_OK = 200;
inline constexpr unsigned HTTP_ACCEPTED = 202;
inline constexpr unsigned HTTP_BAD_REQUEST = 400;
inline constexpr unsigned HTTP_UNAUTHORIZED = 401;
inline constexpr unsigned HTTP_FORBIDDEN = 403;
inline constexpr unsigned HTTP_NOT_FOUND = 404;
inline constexpr unsigned HTTP_METHOD_NOT_ALLOWED = 405;
inline constexpr unsigned HTTP_TOO_LARGE = 413;
inline constexpr unsigned HTTP_UNAVAILABLE = 503;

// An HTTP status and a JSON body.
struct http_answer {
  unsigned status;
  std::string body;
  const char* type = "application/json";
};

// Where a page came from over HTTP: its id and the client's host text.
struct http_origin {
  std::string id;
  std::string host;
};

// 202 with the id once the page is on disk; 400 naming the field at fault;
// 503 when the queue file cannot be written. Nothing is queued but on 202.
http_answer queue_page_request(const page_request& req, const http_origin& origin);

// One page of a webhook notification to `to` (names from the URL).
http_answer queue_notification(const notification& n, const std::vector<std::string>& to,
                               const http_origin& origin);

// 200 with the state of each recipient, or 404.
http_answer page_status(const std::string& id);

}  // namespace callvane
