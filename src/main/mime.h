// MIME decoding for e-mail input: types, transfer encodings, encoded words, parts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace callvane {

// A Content-Type value: the type in lower case ("" when there is none) and
// its boundary parameter, when it has one.
struct content_type {
  std::string type;
  std::optional<std::string> boundary;
};
content_type parse_content_type(std::string_view value);

// Transfer encodings. Both are lenient: what cannot be decoded is kept
// (quoted-printable) or skipped (base64), never refused.
std::string decode_quoted_printable(std::string_view text);
std::string decode_base64(std::string_view text);

// A header value with its RFC 2047 encoded words decoded to 7-bit text;
// nullopt when it holds no encoded word (the value then stands unchanged).
std::optional<std::string> decode_encoded_words(std::string_view value);

// The readable text of an HTML document, one line per block.
std::string html_text(std::string_view html);

// True when a body of this type and transfer encoding needs decoding here
// rather than being taken line by line as it stands.
bool needs_mime_decoding(const content_type& type, std::string_view encoding);

// The text to show of a MIME body whose lines end in line feeds: the first
// text/plain part with something in it (through nested multiparts), else
// the first HTML part as text, as lines each ended by a line feed. Text
// taken from inside a multipart starts with an empty line; a line that
// begins with "--" ends it. nullopt when there is no text at all.
std::optional<std::string> mime_text(const content_type& type, std::string_view encoding,
                                     std::string_view body);

}  // namespace callvane
