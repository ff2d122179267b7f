// The HTTP intake's process: one libmicrohttpd server driven by its own poll loop.
#pragma once

#include <string>

namespace callvane {

// Serves httplisten in this process until the daemon goes; `base_id` (from
// the daemon's id counter) starts the id of every page taken here. Exits
// with EXIT_HTTP_UNUSABLE when the listener or its certificate cannot be
// set up, so the daemon does not retry before the next reload.
[[noreturn]] void serve_http(const std::string& base_id);

inline constexpr int EXIT_HTTP_UNUSABLE = 3;

}  // namespace callvane
