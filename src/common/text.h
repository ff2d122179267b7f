// Small text routines used by log lines, reports and protocol code.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace callvane {

// C-locale whitespace: space, \t \n \v \f \r. Bytes 0x80..0xFF never are.
inline bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
// C-locale letters and digits, whatever the process locale.
inline bool is_alpha(int c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_alnum(int c) { return is_alpha(c) || is_digit(c); }

// Escapes unprintable bytes (\t \n \r \e, else \ooo). The result lives in a
// static area of 4096 bytes that the next call overwrites; output that would
// not fit is cut at a whole escape.
const char* safe_string(std::string_view text);

// ctime text without its newline, in static storage; null if not convertible.
const char* time_text(int64_t when);

// Login name of the effective user, or "UID=<n>" without a password entry.
std::string current_user();

// Re-entrant splitter over delimited lists. `state` starts as the whole text
// and becomes empty (nullopt) once the end was reached; each call skips
// leading delimiters and yields the characters up to the next delimiter.
// Returns false when called with no state left. A text ending in a
// delimiter yields a final empty token; an empty text yields one empty token.
bool next_token(std::optional<std::string_view>& state, std::string_view delimiters,
                std::string& token);

// Cuts the next piece of at most width-1 characters from `text`, breaking at
// the last whitespace run (kept as one blank at the piece's end) when a word
// would be cut. Returns where the rest starts, or null when nothing is left.
const char* wrapline(std::string& piece, const char* text, int width);

}  // namespace callvane
