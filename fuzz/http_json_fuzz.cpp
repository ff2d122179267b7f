// Fuzz target: the HTTP intake's readers (page request, Alertmanager and Grafana
// notifications, their pager text) and the finished-page record's lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "queue/history.h"
#include "server/http_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the room the pager text is cut to.
  const size_t limit = data[0];
  std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
  callvane::read_page_request(body);
  for (callvane::webhook kind : {callvane::webhook::alertmanager, callvane::webhook::grafana}) {
    auto read = callvane::read_notification(kind, body);
    if (auto* n = std::get_if<callvane::notification>(&read)) {
      std::string text = callvane::pager_text(*n, limit);
      if (text.size() > limit && limit > 3) __builtin_trap();
    }
  }
  callvane::parse_history_line(body);
  return 0;
}
