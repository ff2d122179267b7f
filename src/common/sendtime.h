// Delivery time texts: SNPP HOLDuntil and the -a argument.
#pragma once

#include <cstdint>
#include <string>

namespace callvane {

// "YYMMDDHHMMSS [+/-GMTdifference]" in local time; -1 when refused.
int64_t parse_holduntil(const std::string& text);

// "hhmm", "+hhmm", "days+hhmm", or a HOLDuntil text; -1 when refused.
int64_t parse_sendtime(const std::string& text);

// The full year for a two-digit year: the candidate nearest `current_year`.
int full_year(int yy, int current_year);

}  // namespace callvane
