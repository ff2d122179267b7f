// WCTP documents: the submit request a gateway sends and the carrier's answer.
#include "modem/wctp_xml.h"

#include <expat.h>

#include <climits>
#include <ctime>
#include <memory>
#include <vector>

#include "common/text.h"

namespace callvane {

namespace {

constexpr std::string_view OPERATION = "wctp-Operation";
constexpr std::string_view CONFIRMATION = "wctp-Confirmation";
constexpr std::string_view SUCCESS = "wctp-Success";
constexpr std::string_view FAILURE = "wctp-Failure";
constexpr const char* MASK = "********";
// Deeper answers are no confirmation a carrier sends.
constexpr size_t DEPTH_MAX = 16;
// WCTP codes have three digits; four leave room for carriers' own.
constexpr size_t CODE_DIGITS_MAX = 4;
// Answer codes: accepted; the recipient refused; the account or the
// requests wrong.
constexpr int CODE_ACCEPTED_FIRST = 200, CODE_ACCEPTED_LAST = 299;
constexpr int CODE_REFUSED = 403;
constexpr int CODE_BAD_SENDER = 401, CODE_BAD_SECURITY = 402, CODE_BAD_AUTHORIZATION = 404;
constexpr int CODE_PROTOCOL_FIRST = 300, CODE_PROTOCOL_LAST = 303;  // 304 is "not now"

// Text for an XML 1.0 document: markup characters and line ends as
// references (attribute values keep them), and any byte that is not 7-bit
// printable as "?" so that the document is always valid UTF-8.
std::string xml_escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#9;";
        break;
      case '\n':
        out += "&#10;";
        break;
      case '\r':
        out += "&#13;";
        break;
      default: {
        auto u = static_cast<unsigned char>(c);
        out.push_back(u >= 0x20 && u < 0x7f ? c : '?');
      }
    }
  }
  return out;
}

std::string attribute(std::string_view name, std::string_view value) {
  return " " + std::string(name) + "=\"" + xml_escaped(value) + "\"";
}

// "YYYY-MM-DDTHH:MM:SS" in UTC.
std::string timestamp(int64_t when) {
  time_t t = static_cast<time_t>(when);
  tm parts{};
  char text[32] = "";
  if (gmtime_r(&t, &parts) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return text;
}

struct parser_free {
  void operator()(XML_Parser p) const { XML_ParserFree(p); }
};

// What the element handlers collect while expat reads an answer.
struct answer_reader {
  XML_Parser parser = nullptr;
  std::vector<std::string> open;  // the elements we are inside, outermost first
  wctp_answer answer;
  bool found = false;
  std::string refusal;  // why the document is no answer, once known

  void refuse(const std::string& why) {
    if (refusal.empty()) refusal = why;
    XML_StopParser(parser, XML_FALSE);
  }
};

std::optional<int> code_number(const char* text) {
  std::string_view digits(text);
  if (digits.empty() || digits.size() > CODE_DIGITS_MAX) return std::nullopt;
  int n = 0;
  for (char c : digits) {
    if (!is_digit(static_cast<unsigned char>(c))) return std::nullopt;
    n = n * 10 + (c - '0');
  }
  return n;
}

// The result element: its code and text attributes.
void take_result(answer_reader& r, bool success, const XML_Char** attrs) {
  const char* code_name = success ? "successCode" : "errorCode";
  const char* text_name = success ? "successText" : "errorText";
  std::optional<int> code;
  bool has_code = false;
  for (size_t i = 0; attrs[i] != nullptr; i += 2) {
    std::string_view name(attrs[i]);
    if (name == code_name) {
      has_code = true;
      code = code_number(attrs[i + 1]);
    } else if (name == text_name) {
      r.answer.text = attrs[i + 1];
    }
  }
  if (r.found) return r.refuse("more than one result");
  if (!code) return r.refuse(has_code ? "bad code" : "no code");
  r.found = true;
  r.answer.what = success ? wctp_answer::success : wctp_answer::failure;
  r.answer.code = *code;
}

void on_start(void* data, const XML_Char* name, const XML_Char** attrs) {
  auto& r = *static_cast<answer_reader*>(data);
  std::string_view element(name);
  if (r.open.empty() && element != OPERATION) return r.refuse("not a WCTP document");
  if (r.open.size() >= DEPTH_MAX) return r.refuse("nested too deep");
  bool in_confirmation = r.open.size() == 2 && r.open[1] == CONFIRMATION;
  if (in_confirmation && (element == SUCCESS || element == FAILURE))
    take_result(r, element == SUCCESS, attrs);
  r.open.emplace_back(element);
}

void on_end(void* data, const XML_Char*) {
  auto& r = *static_cast<answer_reader*>(data);
  if (!r.open.empty()) r.open.pop_back();
}

// Entities could make a small answer large; a carrier's answer needs none.
void on_entity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
               const XML_Char*, const XML_Char*, const XML_Char*) {
  static_cast<answer_reader*>(data)->refuse("entity declarations");
}

}  // namespace

std::string wctp_submit_request(const wctp_submit& s, bool masked) {
  std::string originator = attribute("senderID", s.sender_id);
  if (s.security_code) originator += attribute("securityCode", masked ? MASK : *s.security_code);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  doc += "<wctp-Operation" + attribute("wctpVersion", WCTP_VERSION) + ">\n";
  doc += "<wctp-SubmitRequest>\n";
  doc += "<wctp-SubmitHeader" + attribute("submitTimestamp", timestamp(s.submitted)) + ">\n";
  doc += "<wctp-Originator" + originator + "/>\n";
  doc += "<wctp-MessageControl" + attribute("messageID", s.message_id) +
         attribute("notifyWhenDelivered", "false") + "/>\n";
  doc += "<wctp-Recipient" + attribute("recipientID", s.recipient_id) + "/>\n";
  doc += "</wctp-SubmitHeader>\n";
  doc += "<wctp-Payload>\n";
  doc += "<wctp-Alphanumeric>" + xml_escaped(s.text) + "</wctp-Alphanumeric>\n";
  doc += "</wctp-Payload>\n";
  doc += "</wctp-SubmitRequest>\n";
  doc += "</wctp-Operation>\n";
  return doc;
}

std::string wctp_message_id(const std::string& page_id, int number) {
  std::string suffix = "-" + std::to_string(number);
  size_t room = suffix.size() < WCTP_MESSAGE_ID_MAX ? WCTP_MESSAGE_ID_MAX - suffix.size() : 0;
  return page_id.substr(0, room) + suffix;
}

wctp_answer parse_wctp_answer(std::string_view body) {
  answer_reader r;
  std::unique_ptr<XML_ParserStruct, parser_free> parser(XML_ParserCreate(nullptr));
  if (!parser) return {wctp_answer::unusable, 0, "cannot set up the XML parser"};
  if (body.size() > INT_MAX) return {wctp_answer::unusable, 0, "answer too large"};
  r.parser = parser.get();
  XML_SetUserData(parser.get(), &r);
  XML_SetElementHandler(parser.get(), on_start, on_end);
  XML_SetEntityDeclHandler(parser.get(), on_entity);
  XML_Status status = XML_Parse(parser.get(), body.data(), static_cast<int>(body.size()), XML_TRUE);
  if (!r.refusal.empty()) return {wctp_answer::unusable, 0, r.refusal};
  if (status != XML_STATUS_OK)
    return {wctp_answer::unusable, 0,
            std::string("not XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get()))};
  if (!r.found) return {wctp_answer::unusable, 0, "not a confirmation"};
  return r.answer;
}

wctp_verdict judge_wctp_answer(const wctp_answer& answer) {
  if (answer.what == wctp_answer::success)
    return answer.code >= CODE_ACCEPTED_FIRST && answer.code <= CODE_ACCEPTED_LAST
               ? wctp_verdict::delivered
               : wctp_verdict::retry;
  if (answer.what != wctp_answer::failure) return wctp_verdict::retry;
  int code = answer.code;
  if (code == CODE_REFUSED) return wctp_verdict::refused;
  // Wrong senderID, security or authorization code, or requests the
  // carrier cannot read: every page would fail the same way.
  if (code == CODE_BAD_SENDER || code == CODE_BAD_SECURITY || code == CODE_BAD_AUTHORIZATION ||
      (code >= CODE_PROTOCOL_FIRST && code <= CODE_PROTOCOL_LAST))
    return wctp_verdict::setup_error;
  return wctp_verdict::retry;
}

}  // namespace callvane
