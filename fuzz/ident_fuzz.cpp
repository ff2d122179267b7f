// Fuzz target: an ident server's answer as the client reads it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "common/settings.h"
#include "server/ident.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte chooses whether the fields are logged (debug output).
  callvane::debug = size > 0 && (data[0] & 1) ? 1 : 0;
  if (size > 0) {
    ++data;
    --size;
  }
  std::string answer(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> user = callvane::ident_answer_user(answer);
  // A user is never empty and never carries the answer's line end.
  if (user && (user->empty() || user->find('\n') != std::string::npos)) abort();
  return 0;
}
