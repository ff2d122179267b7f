// Page text in the GSM 7-bit default alphabet, cut into SMS-sized parts.
#include "modem/gsmtext.h"

#include <optional>

#include "common/text.h"
#include "modem/parts.h"

namespace callvane {

namespace {

constexpr char ESC = 0x1B;

// The printable ASCII characters whose code in the basic table differs
// from their own (3GPP TS 23.038, 6.2.1).
struct moved {
  char ascii;
  char code;
};
constexpr moved BASIC_MOVED[] = {{'@', 0x00}, {'$', 0x02}, {'_', 0x11}};
// The extension table: ESC, then this code.
constexpr moved EXTENSION[] = {{'^', 0x14}, {'{', 0x28}, {'}', 0x29}, {'\\', 0x2F},
                               {'[', 0x3C}, {'~', 0x3D}, {']', 0x3E}, {'|', 0x40}};

const moved* find(const moved* table, size_t n, char c) {
  for (size_t i = 0; i < n; i++)
    if (table[i].ascii == c) return &table[i];
  return nullptr;
}
const moved* extension(char c) { return find(EXTENSION, std::size(EXTENSION), c); }

// A hard cut between ESC and its character puts the character alone at the
// start of the next part, where it costs one septet more than counted: the
// pieces keep one septet spare for it.
constexpr int SPARE_SEPTETS = 1;

}  // namespace

std::string gsm_septets(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (is_space(c)) {
      out += ' ';
    } else if (c == '`') {
      out += '\'';
    } else if (c < 0x20 || c >= 0x7F) {
      out += '?';
    } else if (extension(ch)) {
      out += ESC;
      out += ch;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string gsm_bytes(std::string_view septets) {
  std::string out;
  out.reserve(septets.size());
  for (size_t i = 0; i < septets.size(); i++) {
    char c = septets[i];
    if (c == ESC) continue;  // the character that follows says it all
    if (const moved* e = extension(c)) {
      out += ESC;
      out += e->code;
    } else if (const moved* b = find(BASIC_MOVED, std::size(BASIC_MOVED), c)) {
      out += b->code;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> sms_texts(const job& j) {
  std::optional<std::string> prefix = sender_prefix(j);
  if (prefix) prefix = gsm_septets(*prefix);
  const std::string message = gsm_septets(j.page->message.value_or(""));
  // wrapline's pieces hold width - 1 characters; the header comes in front.
  const int width = static_cast<int>(SMS_SEPTETS - part_header_size(prefix)) + 1 - SPARE_SEPTETS;
  std::vector<std::string> texts;
  if (width < 2) return texts;
  for (const std::string& part :
       split_parts(message, prefix, width, SMS_SEPTETS, j.service->maxpages))
    texts.push_back(gsm_bytes(part));
  return texts;
}

}  // namespace callvane
