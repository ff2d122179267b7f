// Message text input: command-line words, standard input, SNPP text.
#pragma once

#include <optional>
#include <string>

#include "common/instream.h"

namespace callvane {

// The stream on standard input (no time-out ever applies to it).
InStream& stdin_stream();

// What read_text gives: a text, nothing (empty input), or a time-out.
struct read_result {
  bool timed_out = false;
  std::optional<std::string> text;  // nullopt: the text was empty
};

// Reads one line (text_mode false) or a text ended by a line holding only
// "." (text_mode true), folding every whitespace run into one blank. A
// stream other than standard input gets snpptimeout seconds for the call.
read_result read_text(InStream& in, bool text_mode);

// Joins the words with single blanks; with no words (or only empty ones)
// reads a text from standard input, prompting on a terminal.
std::optional<std::string> get_message(int count, char* const* words);

// Brings a message into 7-bit single-line form (SUB escapes, runs of
// whitespace folded, trailing blank removed).
void clean_message(std::string& text);

}  // namespace callvane
