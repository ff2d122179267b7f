// Page text in the GSM 7-bit default alphabet, cut into SMS-sized parts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "modem/dispatch.h"

namespace callvane {

// Septets one SMS carries in the 7-bit default alphabet.
inline constexpr size_t SMS_SEPTETS = 160;

// `text` as the default alphabet can carry it, one byte per septet: the
// characters of the basic table stay as they are, those of the extension
// table (^ { } \ [ ~ ] |) become ESC and the character, so they count two;
// any other character becomes "?" (a backquote an apostrophe, whitespace a
// blank).
std::string gsm_septets(std::string_view text);

// Septets as the modem takes them with AT+CSCS="GSM": each character as its
// code in the default alphabet ("@" is 0, "$" 2, "_" 17), each ESC pair as
// ESC and the code in the extension table.
std::string gsm_bytes(std::string_view septets);

// The modem's bytes of the SMS that carry a job's message, in order: the
// sender's prefix and the message split into marked parts of at most
// SMS_SEPTETS septets, as long TAP pages are split, up to maxpages.
std::vector<std::string> sms_texts(const job& j);

}  // namespace callvane
