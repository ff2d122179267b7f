// Long messages cut into marked parts: TAP blocks and SMS share the marks.
#include "modem/parts.h"

#include "common/text.h"

namespace callvane {

namespace {

// Five characters of end marker go only where at least six are left.
constexpr int END_MARK_ROOM = 6;
constexpr char END_MARK[] = " -oo-";

std::string header(const std::optional<std::string>& prefix, char mark) {
  return prefix ? *prefix + ":" + mark + ": " : std::string(1, mark) + ": ";
}

}  // namespace

std::optional<std::string> sender_prefix(const job& j) {
  const service& svc = *j.service;
  const page& pg = *j.page;
  std::optional<std::string> sender = pg.from;
  if (!sender && svc.identfrom) sender = pg.ident;
  if (!svc.msgprefix || !sender) return std::nullopt;
  return sender->substr(0, sender->find('@'));
}

size_t part_header_size(const std::optional<std::string>& prefix) {
  return header(prefix, '0').size();
}

std::vector<std::string> split_parts(const std::string& message,
                                     const std::optional<std::string>& prefix, int width,
                                     size_t whole_max, int maxpages) {
  const char last_mark = static_cast<char>('0' + (maxpages < 1 ? 1 : maxpages > 9 ? 9 : maxpages));
  std::vector<std::string> texts;
  const char* rest = message.c_str();
  char mark = '0';
  for (;;) {
    mark++;
    std::string piece;
    const char* next = wrapline(piece, rest, width);
    if (next) {
      if (mark == last_mark) {
        texts.push_back(header(prefix, 't') + piece);
        break;
      }
      texts.push_back(header(prefix, mark) + piece);
      rest = next;
      continue;
    }
    if (texts.empty()) {
      std::string text = prefix ? *prefix + ": " + message : message;
      // The message as given, unless runs of whitespace or line ends
      // would break the framing or the size limit; then the piece, in
      // which they are folded to single blanks.
      bool unsafe = text.size() > whole_max;
      for (char c : message)
        if (is_space(static_cast<unsigned char>(c)) && c != ' ') unsafe = true;
      if (unsafe) text = prefix ? *prefix + ": " + piece : piece;
      texts.push_back(text);
    } else {
      std::string text = header(prefix, 'e') + piece;
      if (width - static_cast<int>(text.size()) >= END_MARK_ROOM) text += END_MARK;
      texts.push_back(text);
    }
    break;
  }
  return texts;
}

}  // namespace callvane
