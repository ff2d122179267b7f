// The HTTP intake's requests: who may make them, and what each path does.
#pragma once

#include <optional>
#include <string>

#include "server/http_pages.h"

namespace callvane {

// What a request brought, as the server read it.
struct http_request {
  std::string method;
  std::string path;
  std::optional<std::string> authorization;  // the Authorization header
  bool resolved_wanted = false;              // ?resolved=yes
  int fd = -1;                               // the connection, for the access rules
  std::string host;                          // the client's address, bracketed
};

// The answer a request gets before its body is read, if any: refused by
// the access rules or for its token, an unknown path or method, or a body
// announced larger than MAX_HTTP_BODY.
std::optional<http_answer> answer_before_body(const http_request& req,
                                              std::optional<size_t> announced);

// The answer to a complete request; `id` names the page it may queue.
http_answer answer(const http_request& req, const std::string& body, const std::string& id);

// Whether the request's path queues a page when it succeeds.
bool queues_page(const http_request& req);

}  // namespace callvane
