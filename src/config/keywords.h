// The keywords of a configuration line and where each one applies.
#pragma once

#include <string_view>

#include "config/records.h"

namespace callvane {

// Applies every "keyword=value" of one line (comment and newline removed):
// global keywords in column one, those of the open record indented. The
// first word that is neither is logged and counted, and ends the line.
void parse_line(parse_state& st, std::string_view text);

}  // namespace callvane
