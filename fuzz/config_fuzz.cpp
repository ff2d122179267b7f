// Fuzz target: the configuration file parser on arbitrary file content.
#include <cstddef>
#include <cstdint>

#include "config/loader.h"
#include "fuzz_support.h"

namespace {
constexpr const char* CONFIG_NAME = "callvane.conf";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Relative include= paths resolve inside the private directory.
  callvane_fuzz::in_private_dir here;
  callvane_fuzz::put_file(CONFIG_NAME, data, size);
  callvane::clear_config();
  callvane::parse_config(CONFIG_NAME);
  callvane::clear_config();
  return 0;
}
