// A page's sender and message from an e-mail on standard input (-m).
#pragma once

#include <optional>
#include <string>

#include "common/instream.h"
#include "common/page.h"

namespace callvane {

// Fills p.message, and p.from when `have_from` is false (no -f given).
void read_mail(page& p, bool have_from);
void read_mail(in_stream& in, page& p, bool have_from);

// The next header line with continuation lines joined; "" for an empty line;
// nullopt at end of input.
std::optional<std::string> read_header(in_stream& in, bool fold);

// The bare address of an RFC 822 address field.
std::string parse_address(std::string_view field);

}  // namespace callvane
