// Message text input: command-line words, standard input, SNPP text.
#include "common/textinput.h"

#include <unistd.h>

#include <cstdio>

#include "common/settings.h"
#include "common/text.h"

namespace callvane {

in_stream& stdin_stream() {
  static in_stream in(STDIN_FILENO);
  return in;
}

read_result read_text(in_stream& in, bool text_mode, size_t max_length) {
  // A person typing at standard input may take as long as they like; a
  // network peer gets snpptimeout seconds for the whole line or text.
  time_limit deadline;
  if (&in != &stdin_stream() && snpptimeout > 0)
    deadline = deadline_after(std::chrono::seconds(snpptimeout));
  // Two bytes more than the limit may be kept: the blank of the last line
  // end and the lone "." after it, both removed at the end.
  const size_t keep = max_length >= UNLIMITED_TEXT - 2 ? UNLIMITED_TEXT : max_length + 2;

  std::string text;
  bool dropped = false;
  int prev = '\n';
  bool dot = false;
  for (;;) {
    if (in.at_end()) break;
    int c = in.get(deadline);
    if (c == in_stream::TIMEOUT) return read_result{true, false, std::nullopt};
    if (c == in_stream::END) break;
    if (c == '\r') {
      int next = in.get(deadline);
      if (next == in_stream::TIMEOUT) return read_result{true, false, std::nullopt};
      if (next == in_stream::END) break;
      if (next == '\n')
        c = '\n';
      else
        in.unget(next);
    }
    if ((!text_mode || dot) && (c == '\r' || c == '\n')) {
      if (dot && !text.empty()) text.pop_back();  // the lone "." ends the text
      break;
    }
    dot = c == '.' && prev == '\n';
    bool store = !is_space(c) || !is_space(prev);
    if (store && text.size() >= keep) {
      // Over the limit: read on to the end, keep nothing more.
      dropped = true;
    } else if (store) {
      text.push_back(is_space(c) ? ' ' : static_cast<char>(c));
    }
    prev = c;
  }
  if (dropped) return read_result{false, true, std::nullopt};
  if (!text.empty() && text.back() == ' ') text.pop_back();
  if (max_length != UNLIMITED_TEXT && text.size() > max_length)
    return read_result{false, true, std::nullopt};
  if (text.empty()) return read_result{false, false, std::nullopt};
  return read_result{false, false, std::move(text)};
}

std::optional<std::string> get_message(int count, char* const* words) {
  if (count > 0) {
    std::string text;
    for (int i = 0; i < count; i++) {
      if (i) text += ' ';
      text += words[i];
    }
    if (!text.empty()) return text;
  }
  if (!notty) {
    fputs("Enter the message; end with '.' on a line by itself\n", stdout);
    fflush(stdout);
  }
  read_result r = read_text(stdin_stream(), true);
  if (r.timed_out || !r.text || r.text->empty()) return std::nullopt;
  if (!notty) {
    fputs("Ok.\n", stdout);
    fflush(stdout);
  }
  return r.text;
}

void clean_message(std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    int c = static_cast<unsigned char>(text[i++]) & 0x7f;
    if (c == 0) continue;
    if (is_space(c)) {
      out.push_back(' ');
      while (i < text.size() && is_space(static_cast<unsigned char>(text[i]) & 0x7f)) i++;
    } else if (c < 0x20) {
      out.push_back('\x1a');
      out.push_back(static_cast<char>(c + 0x40));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  text = std::move(out);
}

}  // namespace callvane
