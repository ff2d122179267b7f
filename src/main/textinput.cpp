// PLACEHOLDER until message text input lands: only the words path works.
#include "main/textinput.h"

#include <unistd.h>

namespace callvane {

InStream& stdin_stream() {
  static InStream in(STDIN_FILENO);
  return in;
}

read_result read_text(InStream&, bool) { return {}; }

std::optional<std::string> get_message(int count, char* const* words) {
  std::string text;
  for (int i = 0; i < count; i++) {
    if (i) text += ' ';
    text += words[i];
  }
  if (!text.empty()) return text;
  return std::nullopt;
}

void clean_message(std::string&) {}

}  // namespace callvane
