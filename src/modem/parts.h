// Long messages cut into marked parts: TAP blocks and SMS share the marks.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "modem/dispatch.h"

namespace callvane {

// The sender's name that goes in front of a job's message (cut at any "@"),
// or none when the service puts no prefix or the page names no sender.
std::optional<std::string> sender_prefix(const job& j);

// The texts of the parts that carry `message`: "PREFIX:1: piece", ... and
// "PREFIX:e: piece -oo-" (without a prefix "1: ", "e: "), pieces cut at
// whole words with `wrapline` at `width`; a message that fits one piece goes
// alone, behind "PREFIX: ", unless it is longer than `whole_max` or holds
// whitespace other than blanks. At most `maxpages` parts (1 to 9): the last
// one that had to leave text out is marked "t".
std::vector<std::string> split_parts(const std::string& message,
                                     const std::optional<std::string>& prefix, int width,
                                     size_t whole_max, int maxpages);

// The length of the header of every part ("PREFIX:1: " or "1: ").
size_t part_header_size(const std::optional<std::string>& prefix);

}  // namespace callvane
