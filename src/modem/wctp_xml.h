// WCTP documents: the submit request a gateway sends and the carrier's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace callvane {

// The version of the document format that requests declare.
inline constexpr const char* WCTP_VERSION = "wctp-dtd-v1r1";
// A message id the carrier keeps is at most this long.
inline constexpr size_t WCTP_MESSAGE_ID_MAX = 32;

// One message to one recipient.
struct wctp_submit {
  std::string sender_id;
  std::optional<std::string> security_code;  // sent only when set
  std::string message_id;
  std::string recipient_id;
  std::string text;
  int64_t submitted = 0;  // seconds since the epoch, sent as UTC
};

// The request document. With `masked` the security code reads "********",
// for log lines.
std::string wctp_submit_request(const wctp_submit& s, bool masked = false);

// The message id of one recipient of a page: the page's id, a dash and the
// recipient's number, the page id cut so that it fits.
std::string wctp_message_id(const std::string& page_id, int number);

// What a carrier's answer says.
struct wctp_answer {
  enum kind {
    success,   // wctp-Success in a confirmation
    failure,   // wctp-Failure in a confirmation
    unusable,  // not XML, or not a confirmation: `text` says why
  };
  kind what = unusable;
  int code = 0;
  std::string text;
};

wctp_answer parse_wctp_answer(std::string_view body);

// What a gateway makes of an answer.
enum class wctp_verdict {
  delivered,    // the carrier took the message
  refused,      // this recipient is refused for good
  setup_error,  // the gateway's account or requests are wrong
  retry,        // nothing usable now: try again later
};

wctp_verdict judge_wctp_answer(const wctp_answer& answer);

}  // namespace callvane
