// Fuzz target: the queue file reader on arbitrary file content.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "queue/queuefile.h"

namespace {
// A queue name as the spool scanner would hand it over.
constexpr const char* QUEUE_NAME = "P0912000000.000";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  callvane_fuzz::in_private_dir here;
  callvane_fuzz::put_file(QUEUE_NAME, data, size);
  std::unique_ptr<callvane::page> p = callvane::read_page(QUEUE_NAME);
  if (p) callvane::free_page(*p, false);
  return 0;
}
