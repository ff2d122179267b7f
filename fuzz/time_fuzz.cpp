// Fuzz target: the delivery time parsers (-a argument and HOLDuntil).
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/sendtime.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  callvane::parse_sendtime(text);
  callvane::parse_holduntil(text);
  return 0;
}
