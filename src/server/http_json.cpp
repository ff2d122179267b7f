// Reading the JSON bodies of the HTTP intake: page requests and alert notifications.
#include "server/http_json.h"

#include <nlohmann/json.hpp>

#include "common/sendtime.h"
#include "common/text.h"
#include "common/textinput.h"
#include "server/session.h"

namespace callvane {

namespace {

using json = nlohmann::json;

constexpr int32_t LEVEL_LIMIT = 12;  // levels run from 0 to 11, as over SNPP
constexpr const char* ALERTMANAGER_VERSION = "4";
constexpr const char* ETC = "...";
constexpr const char* PAGE_FIELDS[] = {"to", "message", "from", "level", "hold", "coverage"};

// A one-word value a queue file can hold: no blanks, no NUL, not too long.
bool queue_word(const std::string& s) {
  if (s.empty() || s.size() > MAX_QUEUE_WORD) return false;
  for (char c : s)
    if (c == '\0' || is_space(static_cast<unsigned char>(c))) return false;
  return true;
}

// Parses without exceptions; a body that is no JSON object is refused.
std::optional<json> object_of(const std::string& body) {
  json doc = json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

const json* member(const json& obj, const char* name) {
  auto it = obj.find(name);
  return it == obj.end() || it->is_null() ? nullptr : &*it;
}

// The string at obj[name] when there is one, else "".
std::string string_at(const json& obj, const char* name) {
  const json* v = member(obj, name);
  return v != nullptr && v->is_string() ? v->get<std::string>() : "";
}

field_error wrong(const char* field, const char* reason) { return {field, reason}; }

std::optional<field_error> read_recipients(const json& to, page_request& req) {
  if (!to.is_array() || to.empty()) return wrong("to", "must be a non-empty array of recipients");
  if (to.size() > MAX_PAGE_RECIPIENTS) return wrong("to", "too many recipients");
  for (const json& name : to) {
    if (!name.is_string() || !queue_word(name.get<std::string>()))
      return wrong("to", "each recipient must be one word of at most 255 characters");
    req.to.push_back(name.get<std::string>());
  }
  return std::nullopt;
}

std::optional<field_error> read_message(const json& message, page_request& req) {
  if (!message.is_string()) return wrong("message", "must be a string");
  std::string text = message.get<std::string>();
  if (text.size() > MAX_MESSAGE_TEXT) return wrong("message", "too long");
  while (!text.empty() && is_space(static_cast<unsigned char>(text.back()))) text.pop_back();
  clean_message(text);
  if (text.empty()) return wrong("message", "must not be empty");
  req.message = std::move(text);
  return std::nullopt;
}

std::optional<field_error> read_optional_fields(const json& doc, page_request& req) {
  if (const json* from = member(doc, "from")) {
    std::string caller = from->is_string() ? from->get<std::string>() : "";
    while (!caller.empty() && is_space(static_cast<unsigned char>(caller.back())))
      caller.pop_back();
    if (caller.empty() || caller.size() > MAX_QUEUE_WORD || caller.find('\0') != std::string::npos)
      return wrong("from", "must be a caller id of 1 to 255 characters");
    req.from = caller;
  }
  if (const json* level = member(doc, "level")) {
    if (!level->is_number_integer() || level->get<int64_t>() < 0 ||
        level->get<int64_t>() >= LEVEL_LIMIT)
      return wrong("level", "must be a service level from 0 to 11");
    req.level = level->get<int32_t>();
  }
  if (const json* hold = member(doc, "hold")) {
    if (!hold->is_string() || hold->get<std::string>().empty() ||
        parse_holduntil(hold->get<std::string>()) == -1)
      return wrong("hold", "must be a delivery time YYMMDDHHMMSS [+/-GMTdifference]");
    req.hold = hold->get<std::string>();
  }
  if (const json* coverage = member(doc, "coverage")) {
    if (!coverage->is_string() || !queue_word(coverage->get<std::string>()))
      return wrong("coverage", "must be a service name");
    req.coverage = coverage->get<std::string>();
  }
  return std::nullopt;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

}  // namespace

std::variant<page_request, field_error> read_page_request(const std::string& body) {
  std::optional<json> doc = object_of(body);
  if (!doc) return wrong("body", "must be a JSON object");
  for (const auto& [key, value] : doc->items()) {
    bool known = false;
    for (const char* f : PAGE_FIELDS) known = known || key == f;
    if (!known) return field_error{key, "unknown field"};
  }
  page_request req;
  const json* to = member(*doc, "to");
  if (to == nullptr) return wrong("to", "is required");
  if (auto e = read_recipients(*to, req)) return *e;
  const json* message = member(*doc, "message");
  if (message == nullptr) return wrong("message", "is required");
  if (auto e = read_message(*message, req)) return *e;
  if (auto e = read_optional_fields(*doc, req)) return *e;
  return req;
}

std::variant<notification, field_error> read_notification(webhook kind, const std::string& body) {
  std::optional<json> doc = object_of(body);
  if (!doc) return wrong("body", "must be a JSON object");
  if (kind == webhook::alertmanager && string_at(*doc, "version") != ALERTMANAGER_VERSION)
    return wrong("version", "must be \"4\"");
  notification n;
  n.status = string_at(*doc, "status");
  if (n.status != "firing" && n.status != "resolved")
    return wrong("status", "must be \"firing\" or \"resolved\"");
  const json* alerts = member(*doc, "alerts");
  if (alerts == nullptr || !alerts->is_array() || alerts->empty())
    return wrong("alerts", "must be a non-empty array");
  for (const json& a : *alerts) {
    if (!a.is_object()) return wrong("alerts", "each alert must be an object");
    alert one;
    one.status = string_at(a, "status");
    if (const json* labels = member(a, "labels"); labels != nullptr && labels->is_object())
      one.name = string_at(*labels, "alertname");
    if (const json* notes = member(a, "annotations"); notes != nullptr && notes->is_object()) {
      one.summary = string_at(*notes, "summary");
      if (one.summary.empty()) one.summary = string_at(*notes, "description");
    }
    n.alerts.push_back(std::move(one));
  }
  if (const json* t = member(*doc, "truncatedAlerts"); t != nullptr && t->is_number_unsigned())
    n.truncated = t->get<size_t>();
  return n;
}

std::string pager_text(const notification& n, size_t limit) {
  // Only the alerts in the notification's own state: a firing page lists
  // what fires, a resolved one what has ended.
  size_t count = n.truncated;
  std::string items;
  for (const alert& a : n.alerts) {
    if (a.status != n.status) continue;
    count++;
    std::string item = a.name;
    if (!a.summary.empty()) item += (item.empty() ? "" : " ") + a.summary;
    if (item.empty()) continue;
    items += (items.empty() ? "" : "; ") + item;
  }
  std::string text = upper(n.status) + " " + std::to_string(count);
  if (!items.empty()) text += ": " + items;
  if (n.truncated > 0) text += "; " + std::to_string(n.truncated) + " more";
  // Seven bits and one line, as a pager shows it, before it is measured.
  clean_message(text);
  if (text.size() <= limit) return text;
  const size_t mark = std::string(ETC).size();
  return limit > mark ? text.substr(0, limit - mark) + ETC : text.substr(0, limit);
}

std::string error_json(const field_error& e) {
  json out = {{"error", e.reason}, {"field", e.field}};
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace callvane
