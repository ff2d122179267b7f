// A page's sender and message from an e-mail on standard input (-m).
#include "main/mail.h"

#include <strings.h>

#include <cstdio>

#include "common/settings.h"
#include "common/text.h"
#include "common/textinput.h"
#include "main/mime.h"

namespace callvane {

namespace {

// Body lines are taken in pieces of this many bytes at most, line feed
// included; a longer line is read as several lines.
constexpr size_t BODY_LINE = 10240 - 1;
// What a MIME body may hold in memory while its parts are found; the rest
// of a longer mail is read and dropped.
constexpr size_t MIME_BODY = 4 * 1024 * 1024;

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view skip_space(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && is_space(static_cast<unsigned char>(s[i]))) i++;
  return s.substr(i);
}

// One body line without its line end (line feed, or carriage return and
// line feed), or nullopt at the end of the input.
std::optional<std::string> read_body_line(in_stream& in) {
  std::string line;
  int c = in.get();
  if (c == in_stream::END || c == in_stream::TIMEOUT) return std::nullopt;
  while (c >= 0) {
    if (c == '\n') {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      break;
    }
    line.push_back(static_cast<char>(c));
    if (line.size() >= BODY_LINE) break;
    c = in.get();
  }
  return line;
}

// A header line with the carriage returns of CR LF line ends removed.
std::string without_cr(std::string line) {
  size_t out = 0;
  for (size_t i = 0; i < line.size(); i++) {
    bool line_end = i + 1 == line.size() || line[i + 1] == '\n';
    if (line[i] != '\r' || !line_end) line[out++] = line[i];
  }
  line.resize(out);
  return line;
}

void append_line(std::optional<std::string>& text, std::string_view line) {
  if (!text) text.emplace();
  text->append(line);
  text->push_back('\n');
}

// Prints the one complaint a body can get before it is read.
void complain_no_boundary(const std::string& type) {
  fprintf(stderr, "Content-Type is %s but no boundary is specified\n", type.c_str());
}

// The body of a MIME mail, kept whole (up to MIME_BODY) so that its parts
// can be found; line ends become line feeds.
std::string read_mime_body(in_stream& in) {
  std::string body;
  while (auto line = read_body_line(in)) {
    if (body.size() + line->size() + 1 > MIME_BODY) break;
    body += *line;
    body += '\n';
  }
  return body;
}

}  // namespace

std::optional<std::string> read_header(in_stream& in, bool fold) {
  int c = in.get();
  if (c < 0) return std::nullopt;
  std::string text;
  if (c == '\n') return text;
  if (c == '\r') {
    // An empty line with a CR LF end: never the start of a continuation.
    int next = in.get();
    if (next == '\n') return text;
    if (next >= 0) in.unget(next);
  }
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

void read_mail(in_stream& in, page& p, bool have_from) {
  std::optional<std::string> line = read_header(in, false);
  if (!line || line->empty()) return;
  if (line->compare(0, 5, "From ") != 0) {
    fputs("Message does not start with From_\n", stderr);
    return;
  }

  std::optional<std::string> sender, reply, subject;
  std::optional<content_type> multipart;  // the last multipart type with a boundary
  content_type single;                    // the last Content-Type of any other kind
  std::string encoding;
  bool mime = false;
  while ((line = read_header(in, false)) && !line->empty()) {
    *line = without_cr(std::move(*line));
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
    } else if (starts_with_nocase(h, "content-transfer-encoding:")) {
      encoding = h.substr(26);
    } else if (starts_with_nocase(h, "content-type:")) {
      content_type ct = parse_content_type(h.substr(13));
      const std::string& type = ct.type;
      if (type == "text" || type == "text/plain") {
        single = std::move(ct);
      } else if (type.starts_with("multipart/")) {
        if (ct.boundary)
          multipart = std::move(ct);
        else
          complain_no_boundary(type);
      } else if (type == "x-sun-attachment") {
        fputs("X-sun-attachments are NOT supported--use MIME instead.\n", stderr);
      } else {
        if (debug >= 2) printf("Unknown content type: <%s>\n", type.c_str());
        single = std::move(ct);
      }
    }
  }

  // Encoded words mean something only in a MIME mail.
  if (mime && subject) {
    if (auto decoded = decode_encoded_words(*subject)) subject = std::move(decoded);
  }
  if (mime && sender) {
    if (auto decoded = decode_encoded_words(*sender)) sender = std::move(decoded);
  }

  if (debug >= 2) {
    if (sender) printf("Message sender is: <%s>\n", sender->c_str());
    if (reply) printf("Reply address is: <%s>\n", reply->c_str());
    if (subject) printf("Message subject is: <%s>\n", subject->c_str());
  }

  std::optional<std::string> text;
  if (sender) append_line(text, *sender);
  if (subject) append_line(text, "(Subj: " + *subject + ")");

  const content_type& top = multipart ? *multipart : single;
  if (mime && needs_mime_decoding(top, encoding)) {
    if (auto shown = mime_text(top, encoding, read_mime_body(in))) {
      if (!text) text.emplace();
      *text += *shown;
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
