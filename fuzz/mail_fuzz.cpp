// Fuzz target: the e-mail reader (-m) on an arbitrary message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/instream.h"
#include "common/page.h"
#include "fuzz_support.h"
#include "main/mail.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte chooses whether a -f sender was given.
  bool have_from = size > 0 && (data[0] & 1);
  if (size > 0) {
    ++data;
    --size;
  }
  callvane::in_stream in(callvane_fuzz::input_descriptor(data, size), true);
  callvane::page p;
  callvane::read_mail(in, p, have_from);
  callvane::free_page(p, false);
  return 0;
}
