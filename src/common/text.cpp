#include "common/text.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace callvane {

const char* safe_string(std::string_view text) {
  static char area[4096];
  size_t out = 0;
  for (unsigned char c : text) {
    char esc[5];
    size_t len;
    if (c >= 0x20 && c <= 0x7e) {
      esc[0] = static_cast<char>(c);
      len = 1;
    } else if (c == '\t' || c == '\n' || c == '\r' || c == 0x1b) {
      esc[0] = '\\';
      esc[1] = c == '\t' ? 't' : c == '\n' ? 'n' : c == '\r' ? 'r' : 'e';
      len = 2;
    } else {
      snprintf(esc, sizeof esc, "\\%03o", c);
      len = 4;
    }
    if (out + len >= sizeof area) break;  // keep room for the terminating zero
    memcpy(area + out, esc, len);
    out += len;
  }
  area[out] = '\0';
  return area;
}

const char* time_text(int64_t when) {
  static char area[64];
  time_t t = static_cast<time_t>(when);
  if (ctime_r(&t, area) == nullptr) return nullptr;
  if (char* nl = strchr(area, '\n')) *nl = '\0';
  return area;
}

std::string current_user() {
  uid_t uid = geteuid();
  if (struct passwd* pw = getpwuid(uid)) return pw->pw_name;
  return "UID=" + std::to_string(static_cast<unsigned long>(uid));
}

bool next_token(std::optional<std::string_view>& state, std::string_view delimiters,
                std::string& token) {
  if (!state) return false;
  std::string_view s = *state;
  size_t start = s.find_first_not_of(delimiters);
  if (start == std::string_view::npos) start = s.size();
  size_t end = s.find_first_of(delimiters, start);
  if (end == std::string_view::npos) {
    token.assign(s.substr(start));
    state.reset();
  } else {
    token.assign(s.substr(start, end - start));
    state = s.substr(end + 1);
  }
  return true;
}

const char* wrapline(std::string& piece, const char* text, int width) {
  piece.clear();
  const char* p = text;
  while (*p && is_space(static_cast<unsigned char>(*p))) p++;
  if (width <= 0) return p;
  if (*p == '\0') return nullptr;
  if (width == 1) return p;

  size_t limit = static_cast<size_t>(width - 1);
  size_t break_len = 0;              // piece length just after the last break's blank
  const char* break_rest = nullptr;  // text after that whitespace run
  while (piece.size() < limit && *p) {
    if (is_space(static_cast<unsigned char>(*p))) {
      piece.push_back(' ');
      while (*p && is_space(static_cast<unsigned char>(*p))) p++;
      break_len = piece.size();
      break_rest = p;
    } else {
      piece.push_back(*p++);
    }
  }
  if (*p == '\0') return nullptr;
  const char* rest = p;
  if (break_rest != nullptr) {
    piece.resize(break_len);
    rest = break_rest;
  }
  while (*rest && is_space(static_cast<unsigned char>(*rest))) rest++;
  return *rest ? rest : nullptr;
}

}  // namespace callvane
