// A page's sender and message from an e-mail on standard input (-m).
#include "main/mail.h"

#include <strings.h>

#include <cstdio>

#include "common/settings.h"
#include "common/text.h"
#include "main/textinput.h"

namespace callvane {

namespace {

// Body lines are taken in pieces of this many bytes at most, line feed
// included; a longer line is read as several lines.
constexpr size_t BODY_LINE = 10240 - 1;

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view skip_space(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) i++;
  return s.substr(i);
}

// One body line without its line feed, or nullopt at the end of the input.
std::optional<std::string> read_body_line(InStream& in) {
  std::string line;
  int c = in.get();
  if (c == InStream::END || c == InStream::TIMEOUT) return std::nullopt;
  while (c >= 0) {
    if (c == '\n') break;
    line.push_back(static_cast<char>(c));
    if (line.size() >= BODY_LINE) break;
    c = in.get();
  }
  return line;
}

void append_line(std::optional<std::string>& text, std::string_view line) {
  if (!text) text.emplace();
  text->append(line);
  text->push_back('\n');
}

// The boundary parameter of a multipart/mixed type; `rest` is what follows
// the type. Prints the complaint and gives nullopt when there is none.
std::optional<std::string> boundary_of(std::string_view rest) {
  rest = skip_space(rest);
  constexpr std::string_view key = "boundary=";
  if (!starts_with_nocase(rest, key)) {
    fputs("Content-Type is multipart/mixed but no boundary is specified\n", stderr);
    return std::nullopt;
  }
  rest.remove_prefix(key.size());
  std::string_view value;
  if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    value = rest.substr(0, rest.find('"'));
  } else {
    value = rest.substr(0, rest.find_first_of("\t ;"));
  }
  return "--" + std::string(value);
}

}  // namespace

std::optional<std::string> read_header(InStream& in, bool fold) {
  int c = in.get();
  if (c < 0) return std::nullopt;
  std::string text;
  if (c == '\n') return text;
  for (;;) {
    if (c < 0) return text;
    if (c != '\n') {
      text.push_back(static_cast<char>(c));
      c = in.get();
      continue;
    }
    int next = in.get();
    if (next != ' ' && next != '\t') {
      if (next >= 0) in.unget(next);
      return text;
    }
    if (fold) {
      text.push_back(' ');
      while (next == ' ' || next == '\t') next = in.get();
    } else {
      text.push_back('\n');
    }
    c = next;
  }
}

std::string parse_address(std::string_view field) {
  std::string out;
  bool quoted = false;
  bool angle = false;
  for (size_t i = 0; i < field.size(); i++) {
    char c = field[i];
    if (c == '"') {
      quoted = !quoted;
      out.push_back(c);
    } else if (c == '\\') {
      if (++i >= field.size()) break;
      out.push_back(field[i]);
    } else if (!quoted && c == '(') {
      size_t close = field.find(')', i + 1);
      out.push_back(' ');
      if (close == std::string_view::npos) break;
      i = close;
    } else if (!quoted && c == '<') {
      out.clear();
      angle = true;
    } else if (!quoted && angle && c == '>') {
      break;
    } else {
      out.push_back(c);
    }
  }
  size_t first = 0;
  while (first < out.size() && is_space(static_cast<unsigned char>(out[first]))) first++;
  size_t last = out.size();
  while (last > first && is_space(static_cast<unsigned char>(out[last - 1]))) last--;
  return out.substr(first, last - first);
}

void read_mail(page& p, bool have_from) { read_mail(stdin_stream(), p, have_from); }

void read_mail(InStream& in, page& p, bool have_from) {
  std::optional<std::string> line = read_header(in, false);
  if (!line || line->empty()) return;
  if (line->compare(0, 5, "From ") != 0) {
    fputs("Message does not start with From_\n", stderr);
    return;
  }

  std::optional<std::string> sender, reply, subject, boundary;
  bool mime = false;
  while ((line = read_header(in, false)) && !line->empty()) {
    std::string_view h = *line;
    if (starts_with_nocase(h, "reply-to:")) {
      reply = parse_address(h.substr(9));
    } else if (!sender && starts_with_nocase(h, "from:")) {
      std::string_view value = skip_space(h.substr(5));
      if (!value.empty()) sender = std::string(value);
      if (!reply) reply = parse_address(value);
    } else if (starts_with_nocase(h, "subject:")) {
      std::string_view value = skip_space(h.substr(8));
      if (!value.empty()) subject = std::string(value);
    } else if (starts_with_nocase(h, "mime-version:")) {
      mime = true;
    } else if (starts_with_nocase(h, "content-type:")) {
      std::string_view value = skip_space(h.substr(13));
      size_t end = 0;
      while (end < value.size() && value[end] != ';' &&
             !is_space(static_cast<unsigned char>(value[end])))
        end++;
      std::string_view type = value.substr(0, end);
      std::string_view rest = end < value.size() ? value.substr(end + 1) : std::string_view{};
      if (equals_nocase(type, "text") || equals_nocase(type, "text/plain")) {
        // plain text needs nothing more
      } else if (equals_nocase(type, "multipart/mixed")) {
        if (auto b = boundary_of(rest)) boundary = std::move(b);
      } else if (equals_nocase(type, "x-sun-attachment")) {
        fputs("X-sun-attachments are NOT supported--use MIME instead.\n", stderr);
      } else if (debug >= 2) {
        printf("Unknown content type: <%s>\n", std::string(type).c_str());
      }
    }
  }

  if (debug >= 2) {
    if (sender) printf("Message sender is: <%s>\n", sender->c_str());
    if (reply) printf("Reply address is: <%s>\n", reply->c_str());
    if (subject) printf("Message subject is: <%s>\n", subject->c_str());
  }

  std::optional<std::string> text;
  if (sender) append_line(text, *sender);
  if (subject) append_line(text, "(Subj: " + *subject + ")");

  if (boundary && mime) {
    bool taking = false, in_header = false, taken = false;
    while (auto body = read_body_line(in)) {
      const std::string& l = *body;
      if (l == *boundary) {
        if (debug >= 2) printf("Found boundary: <%s>\n", l.c_str());
        if (taken) break;
        taking = in_header = true;
      } else if (!taking) {
        // preamble, or the rest of a part that is not text
      } else if (in_header) {
        if (starts_with_nocase(l, "content-type:")) {
          std::string_view type = std::string_view(l).substr(13);
          if (!starts_with_nocase(type, " text")) {
            if (debug >= 2) printf("Skipping type=<%s>\n", std::string(type).c_str());
            taking = false;
          }
        } else {
          if (debug >= 2) printf("Mimeheader: <%s>\n", l.c_str());
          if (l.empty()) {
            append_line(text, "");
            in_header = false;
            taken = true;
          }
        }
      } else {
        if (debug >= 2) printf("Mimetext: <%s>\n", l.c_str());
        if (l.compare(0, 2, "--") == 0) break;
        append_line(text, l);
        taken = true;
      }
    }
  } else {
    while (auto body = read_body_line(in)) {
      if (debug >= 2) printf("Text: <%s>\n", body->c_str());
      if (body->compare(0, 2, "--") == 0) break;
      append_line(text, *body);
    }
  }

  // The mail system expects the whole message to be consumed.
  while (in.get() >= 0) {
  }

  if (!have_from && !p.from) p.from = reply ? parse_address(*reply) : std::string("anonymous");
  p.message = std::move(text);
  if (debug >= 1) printf("Message is: <%s>\n", p.message ? p.message->c_str() : "(null)");
  fflush(stdout);
}

}  // namespace callvane
