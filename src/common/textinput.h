// Message text input: command-line words, standard input, SNPP text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/instream.h"

namespace callvane {

// The stream on standard input (no time-out ever applies to it).
in_stream& stdin_stream();

// No limit on what read_text keeps.
inline constexpr size_t UNLIMITED_TEXT = static_cast<size_t>(-1);

// What read_text gives: a text, nothing (empty input), a time-out, or a
// text longer than the limit (consumed to its end, but not kept).
struct read_result {
  bool timed_out = false;
  bool too_long = false;
  std::optional<std::string> text;  // nullopt: empty, timed out or too long
};

// Reads one line (text_mode false) or a text ended by a line holding only
// "." (text_mode true), folding every whitespace run into one blank. A
// stream other than standard input gets snpptimeout seconds for the call.
// A folded text of more than max_length bytes is read on to its end (line
// end, lone ".", or end of input) without keeping more than max_length + 2
// bytes, and reported as too_long.
read_result read_text(in_stream& in, bool text_mode, size_t max_length = UNLIMITED_TEXT);

// Joins the words with single blanks; with no words (or only empty ones)
// reads a text from standard input, prompting on a terminal.
std::optional<std::string> get_message(int count, char* const* words);

// Brings a message into 7-bit single-line form (SUB escapes, runs of
// whitespace folded, trailing blank removed).
void clean_message(std::string& text);

}  // namespace callvane
