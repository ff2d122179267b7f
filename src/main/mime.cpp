// MIME decoding for e-mail input: types, transfer encodings, encoded words, parts.
#include "main/mime.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

// Multiparts nested deeper than this are not looked into.
constexpr int MAX_DEPTH = 8;
// The longest entity name in "&name;" or "&#x10FFFF;".
constexpr size_t MAX_ENTITY = 10;

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equals_nocase(text.substr(0, prefix.size()), prefix);
}

bool space_at(std::string_view s, size_t i) {
  return i < s.size() && is_space(static_cast<unsigned char>(s[i]));
}

std::string_view trim(std::string_view s) {
  while (space_at(s, 0)) s.remove_prefix(1);
  while (!s.empty() && is_space(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Cuts the next line (without its line feed) off the front of `rest`.
std::string_view next_line(std::string_view& rest) {
  size_t nl = rest.find('\n');
  std::string_view line = rest.substr(0, nl);
  rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
  return line;
}

// One parameter value: a quoted string (to its closing quote or the end)
// or a token (to the first blank, tab, ";" or the end).
std::string parameter_value(std::string_view& rest) {
  std::string value;
  if (!rest.empty() && rest.front() == '"') {
    size_t i = 1;
    for (; i < rest.size() && rest[i] != '"'; i++) {
      if (rest[i] == '\\' && i + 1 < rest.size()) i++;
      value.push_back(rest[i]);
    }
    rest.remove_prefix(std::min(i + 1, rest.size()));
  } else {
    size_t end = 0;
    while (end < rest.size() && rest[end] != ';' && !space_at(rest, end)) end++;
    value = rest.substr(0, end);
    rest.remove_prefix(end);
  }
  return value;
}

// Bytes of a decoded encoded word as the page keeps them: seven bits, no
// zero byte, and every whitespace (line ends too) a blank, so that the
// subject stays on its one line.
void append_seven_bit(std::string& out, std::string_view bytes) {
  for (unsigned char b : bytes) {
    int c = b & 0x7f;
    if (c == 0) continue;
    out.push_back(is_space(c) ? ' ' : static_cast<char>(c));
  }
}

// An encoded word "=?charset?Q?text?=" or "=?charset?B?text?=" at the front
// of `s`: its decoded bytes and its length, or nullopt.
std::optional<std::pair<std::string, size_t>> encoded_word(std::string_view s) {
  if (s.substr(0, 2) != "=?") return std::nullopt;
  size_t q1 = s.find('?', 2);
  if (q1 == std::string_view::npos || q1 == 2 || q1 + 2 >= s.size() || s[q1 + 2] != '?')
    return std::nullopt;
  char encoding = s[q1 + 1];
  size_t text = q1 + 3;
  size_t end = s.find("?=", text);
  if (end == std::string_view::npos) return std::nullopt;
  for (size_t i = 2; i < end; i++)
    if (space_at(s, i)) return std::nullopt;
  std::string_view body = s.substr(text, end - text);
  std::string bytes;
  if (encoding == 'B' || encoding == 'b') {
    bytes = decode_base64(body);
  } else if (encoding == 'Q' || encoding == 'q') {
    for (size_t i = 0; i < body.size(); i++) {
      int hi = 0, lo = 0;
      if (body[i] == '_') {
        bytes.push_back(' ');
      } else if (body[i] == '=' && i + 2 < body.size() && (hi = hex_value(body[i + 1])) >= 0 &&
                 (lo = hex_value(body[i + 2])) >= 0) {
        bytes.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        bytes.push_back(body[i]);
      }
    }
  } else {
    return std::nullopt;
  }
  return std::make_pair(std::move(bytes), end + 2);
}

// An HTML character reference at the front of `s` ("&amp;", "&#233;"):
// its bytes (UTF-8 for a number) and its length, or nullopt.
std::optional<std::pair<std::string, size_t>> html_entity(std::string_view s) {
  size_t semi = s.find(';');
  if (semi == std::string_view::npos || semi > MAX_ENTITY) return std::nullopt;
  std::string name = lower(s.substr(1, semi - 1));
  static const std::pair<const char*, const char*> named[] = {
      {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
  for (const auto& [n, v] : named)
    if (name == n) return std::make_pair(std::string(v), semi + 1);
  if (name.size() < 2 || name[0] != '#') return std::nullopt;
  bool hex = name[1] == 'x';
  unsigned long code = 0;
  for (size_t i = hex ? 2 : 1; i < name.size(); i++) {
    int d = hex ? hex_value(name[i])
                : (is_digit(static_cast<unsigned char>(name[i])) ? name[i] - '0' : -1);
    if (d < 0) return std::nullopt;
    code = code * (hex ? 16 : 10) + static_cast<unsigned long>(d);
  }
  if (code == 0 || code > 0x10ffff) return std::nullopt;
  std::string bytes;
  if (code < 0x80) {
    bytes.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    bytes.push_back(static_cast<char>(0xc0 | (code >> 6)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    bytes.push_back(static_cast<char>(0xe0 | (code >> 12)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    bytes.push_back(static_cast<char>(0xf0 | (code >> 18)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
    bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
    bytes.push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
  return std::make_pair(std::move(bytes), semi + 1);
}

// Where the tag that opens at `s[0]` ends (past its ">"); quoted attribute
// values may hold a ">".
size_t tag_end(std::string_view s) {
  char quote = 0;
  for (size_t i = 1; i < s.size(); i++) {
    if (quote) {
      if (s[i] == quote) quote = 0;
    } else if (s[i] == '"' || s[i] == '\'') {
      quote = s[i];
    } else if (s[i] == '>') {
      return i + 1;
    }
  }
  return s.size();
}

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Where `needle` (lower case) next starts in `hay` from `from` on, case
// ignored; the size of `hay` when it does not.
size_t find_nocase(std::string_view hay, std::string_view needle, size_t from) {
  for (size_t i = from; i + needle.size() <= hay.size(); i++)
    if (equals_nocase(hay.substr(i, needle.size()), needle)) return i;
  return hay.size();
}

bool breaks_line(std::string_view name) {
  static const char* const blocks[] = {"br", "p",  "div", "tr", "li", "h1", "h2",    "h3",
                                       "h4", "h5", "h6",  "hr", "ul", "ol", "table", "blockquote"};
  for (const char* b : blocks)
    if (name == b) return true;
  return false;
}

std::string transfer_decoded(std::string_view body, std::string_view encoding) {
  if (equals_nocase(trim(encoding), "quoted-printable")) return decode_quoted_printable(body);
  if (equals_nocase(trim(encoding), "base64")) return decode_base64(body);
  return std::string(body);
}

bool is_plain(const std::string& type) {
  return type.empty() || type == "text" || type == "text/plain";
}

bool has_text(std::string_view s) { return !trim(s).empty(); }

// A part's header fields; false when the part has no end of header.
struct part_header {
  content_type type;
  std::string encoding;
  std::string type_text;  // what follows the colon of its Content-Type
};

bool read_part_header(std::string_view& rest, part_header& h) {
  std::vector<std::string> fields;
  for (;;) {
    if (rest.empty()) return false;
    std::string_view line = next_line(rest);
    if (line.empty()) break;
    if ((line.front() == ' ' || line.front() == '\t') && !fields.empty()) {
      fields.back().append("\n").append(line);
    } else {
      fields.emplace_back(line);
    }
  }
  for (const std::string& f : fields) {
    std::string_view field = f;
    if (starts_with_nocase(field, "content-type:")) {
      h.type_text = field.substr(13);
      h.type = parse_content_type(field.substr(13));
      continue;
    }
    if (starts_with_nocase(field, "content-transfer-encoding:")) h.encoding = field.substr(26);
    if (debug >= 2) printf("Mimeheader: <%s>\n", f.c_str());
  }
  return true;
}

// The candidates met while walking the parts, in the order of preference.
struct text_choice {
  std::optional<std::string> plain;        // first text/plain with text in it
  std::optional<std::string> html;         // first HTML part with text in it
  std::optional<std::string> blank_plain;  // first text/plain at all
  bool done() const { return plain.has_value(); }
};

bool is_delimiter(std::string_view line, std::string_view boundary, bool& closing) {
  if (line.size() < boundary.size() + 2 || line.substr(0, 2) != "--" ||
      line.substr(2, boundary.size()) != boundary)
    return false;
  std::string_view after = line.substr(boundary.size() + 2);
  closing = after.substr(0, 2) == "--";
  return closing || trim(after).empty();
}

void walk_multipart(std::string_view body, const std::string& boundary, int depth,
                    text_choice& choice);

void take_part(std::string_view part, int depth, text_choice& choice) {
  part_header h;
  if (!read_part_header(part, h)) return;
  const std::string& type = h.type.type;
  if (type.starts_with("multipart/") && h.type.boundary && depth + 1 < MAX_DEPTH) {
    walk_multipart(part, *h.type.boundary, depth + 1, choice);
  } else if (is_plain(type)) {
    std::string text = transfer_decoded(part, h.encoding);
    if (has_text(text))
      choice.plain = std::move(text);
    else if (!choice.blank_plain)
      choice.blank_plain = std::move(text);
  } else if (type == "text/html" && !choice.html) {
    std::string text = html_text(transfer_decoded(part, h.encoding));
    if (has_text(text)) choice.html = std::move(text);
  } else if (debug >= 2) {
    printf("Skipping type=<%s>\n", h.type_text.c_str());
  }
}

void walk_multipart(std::string_view body, const std::string& boundary, int depth,
                    text_choice& choice) {
  std::optional<size_t> part_start;
  std::string_view rest = body;
  while (!rest.empty() && !choice.done()) {
    size_t line_start = body.size() - rest.size();
    std::string_view line = next_line(rest);
    bool closing = false;
    if (!is_delimiter(line, boundary, closing)) continue;
    if (debug >= 2) printf("Found boundary: <%s>\n", std::string(line).c_str());
    if (part_start) take_part(body.substr(*part_start, line_start - *part_start), depth, choice);
    part_start.reset();
    if (closing) return;
    part_start = body.size() - rest.size();
  }
  // A missing closing delimiter: the last part runs to the end.
  if (part_start && !choice.done()) take_part(body.substr(*part_start), depth, choice);
}

// The lines of `text`, each ended by a line feed, up to the first that
// begins with "--"; carriage returns before line ends and zero bytes go.
std::string page_lines(std::string_view text, const char* label) {
  std::string out;
  while (!text.empty()) {
    std::string_view raw = next_line(text);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    std::string line;
    for (char c : raw)
      if (c != '\0') line.push_back(c);
    if (line.starts_with("--")) break;
    if (debug >= 2) printf("%s: <%s>\n", label, line.c_str());
    out += line;
    out += '\n';
  }
  return out;
}

}  // namespace

content_type parse_content_type(std::string_view value) {
  content_type ct;
  std::string_view rest = trim(value);
  size_t end = 0;
  while (end < rest.size() && rest[end] != ';' && !space_at(rest, end)) end++;
  ct.type = lower(rest.substr(0, end));
  rest.remove_prefix(end);
  for (;;) {
    while (!rest.empty() && (rest.front() == ';' || space_at(rest, 0))) rest.remove_prefix(1);
    size_t eq = rest.find_first_of("=;");
    if (eq == std::string_view::npos) break;
    if (rest[eq] == ';') {
      rest.remove_prefix(eq);  // a parameter without a value
      continue;
    }
    std::string name = lower(trim(rest.substr(0, eq)));
    rest.remove_prefix(eq + 1);
    std::string v = parameter_value(rest);
    if (name == "boundary" && !ct.boundary) ct.boundary = std::move(v);
    size_t semi = rest.find(';');
    if (semi == std::string_view::npos) break;
    rest.remove_prefix(semi);
  }
  return ct;
}

std::string decode_quoted_printable(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    bool had_end = text.find('\n') != std::string_view::npos;
    std::string_view line = next_line(text);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Blanks at the end of a line were added in transport.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    bool soft = !line.empty() && line.back() == '=';
    if (soft) line.remove_suffix(1);
    for (size_t i = 0; i < line.size(); i++) {
      int hi = 0, lo = 0;
      if (line[i] == '=' && i + 2 < line.size() && (hi = hex_value(line[i + 1])) >= 0 &&
          (lo = hex_value(line[i + 2])) >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
      } else {
        out.push_back(line[i]);
      }
    }
    if (!soft && had_end) out.push_back('\n');
  }
  return out;
}

std::string decode_base64(std::string_view text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;  // padding: the data is over
    else
      continue;  // line ends and stray bytes are not data
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xff));
    }
  }
  return out;
}

std::optional<std::string> decode_encoded_words(std::string_view value) {
  std::string out, pending_space;
  bool any = false, after_word = false;
  size_t i = 0;
  while (i < value.size()) {
    char c = value[i];
    if (c == '=') {
      if (auto word = encoded_word(value.substr(i))) {
        // Whitespace between two encoded words is not part of the text.
        if (!after_word) out += pending_space;
        pending_space.clear();
        append_seven_bit(out, word->first);
        i += word->second;
        any = after_word = true;
        continue;
      }
    }
    if (c == '\r' || c == '\n') {
      i++;  // unfolding: the line end goes, the blank after it stays
      continue;
    }
    if (c == ' ' || c == '\t') {
      pending_space.push_back(c);
    } else {
      out += pending_space;
      pending_space.clear();
      out.push_back(c);
      after_word = false;
    }
    i++;
  }
  out += pending_space;
  if (!any) return std::nullopt;
  return out;
}

std::string html_text(std::string_view html) {
  std::string text;
  size_t i = 0;
  while (i < html.size()) {
    std::string_view s = html.substr(i);
    if (s.starts_with("<!--")) {
      size_t end = s.find("-->");
      i += end == std::string_view::npos ? s.size() : end + 3;
      continue;
    }
    if (s[0] == '<') {
      size_t end = tag_end(s);
      std::string_view inner = s.substr(1, end - 1);
      bool closing = !inner.empty() && inner[0] == '/';
      if (closing) inner.remove_prefix(1);
      size_t n = 0;
      while (n < inner.size() && is_name_char(inner[n])) n++;
      std::string name = lower(inner.substr(0, n));
      i += end;
      if (!closing && (name == "style" || name == "script" || name == "head")) {
        // Their content is not text to read; skip to the closing tag.
        i = find_nocase(html, "</" + name, i);
      } else if (breaks_line(name)) {
        text.push_back('\n');
      } else if (name == "td" || name == "th") {
        text.push_back(' ');
      }
      continue;
    }
    if (s[0] == '&') {
      if (auto entity = html_entity(s)) {
        text += entity->first;
        i += entity->second;
        continue;
      }
    }
    text.push_back(s[0] == '\r' ? ' ' : s[0]);
    i++;
  }
  // One line per block: lines trimmed, blank ones dropped.
  std::string out;
  std::string_view rest = text;
  while (!rest.empty()) {
    std::string_view line = trim(next_line(rest));
    if (line.empty()) continue;
    out += line;
    out += '\n';
  }
  return out;
}

bool needs_mime_decoding(const content_type& type, std::string_view encoding) {
  if (type.type.starts_with("multipart/")) return type.boundary.has_value();
  if (type.type == "text/html") return true;
  return is_plain(type.type) && (equals_nocase(trim(encoding), "quoted-printable") ||
                                 equals_nocase(trim(encoding), "base64"));
}

std::optional<std::string> mime_text(const content_type& type, std::string_view encoding,
                                     std::string_view body) {
  if (type.type.starts_with("multipart/") && type.boundary) {
    text_choice choice;
    walk_multipart(body, *type.boundary, 0, choice);
    const std::optional<std::string>& chosen = choice.plain  ? choice.plain
                                               : choice.html ? choice.html
                                                             : choice.blank_plain;
    if (!chosen) return std::nullopt;
    // A part's text has always followed the empty line that ends its header.
    return "\n" + page_lines(*chosen, "Mimetext");
  }
  std::string text = transfer_decoded(body, encoding);
  if (type.type == "text/html") text = html_text(text);
  std::string lines = page_lines(text, "Text");
  if (lines.empty()) return std::nullopt;
  return lines;
}

}  // namespace callvane
