// Fuzz target: the e-mail reader (-m) on an arbitrary message.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/instream.h"
#include "main/mail.h"
#include "queue/page.h"

namespace {

// An in-memory file holding exactly the input, read from its start.
int input_descriptor(const uint8_t* data, size_t size) {
  int fd = memfd_create("mail", MFD_CLOEXEC);
  if (fd < 0) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  if (lseek(fd, 0, SEEK_SET) != 0) abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte chooses whether a -f sender was given.
  bool have_from = size > 0 && (data[0] & 1);
  if (size > 0) {
    ++data;
    --size;
  }
  callvane::InStream in(input_descriptor(data, size), true);
  callvane::page p;
  callvane::read_mail(in, p, have_from);
  callvane::free_page(p, false);
  return 0;
}
