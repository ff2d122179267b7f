// Fuzz target: the SNPP client's dialogue fed an arbitrary server byte stream.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "client/client.h"
#include "common/settings.h"
#include "fuzz_support.h"

using namespace callvane;

namespace {

// What submit_page says for a page with every option and one recipient,
// stopping where it would; each command reads the next replies.
void page_dialogue(snpp_link& link) {
  if (get_reply(link) != 2) {
    send_quit(link);
    return;
  }
  if (send_command(link, "CALLerid alice", std::string("CALLerid not accepted")) < 0) return;
  const char* options[] = {"HOLDuntil 981125132000", "COVErage alt", "LEVEl 3"};
  for (const char* option : options)
    if (send_command(link, option, std::string("Cannot set option")) < 0) return;
  int result = send_command(link, "PAGEr bob", std::string("Cannot send page to bob"));
  if (result < 0) return;
  if (result == 1) {
    send_quit(link);
    return;
  }
  result = send_command(link, "DATA", std::nullopt);
  if (result < 0) return;
  if (result == 1) {
    result = send_command(link, "MESSage hello there", std::string("Cannot send message"));
  } else {
    link.write("hello there\r\n");
    result = send_command(link, ".", std::string("Cannot send message"));
  }
  if (result == 0) result = send_command(link, "SEND", std::string("Page failed"));
  if (result >= 0) send_quit(link);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The stream always ends, so this bounds nothing but a stuck run.
  reply_timeout = std::chrono::milliseconds(1000);
  debug = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  callvane_fuzz::peer_said server(data, size);
  int fd = dup(server.fd());
  if (fd < 0) abort();
  snpp_link link(fd);
  page_dialogue(link);
  return 0;
}
