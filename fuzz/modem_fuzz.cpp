// Fuzz target: what a modem and a TAP terminal answer, step by step.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/page.h"
#include "common/settings.h"
#include "config/config.h"
#include "fuzz_support.h"
#include "modem/dispatch.h"
#include "modem/serial.h"
#include "modem/tap.h"

using namespace callvane;

namespace {

// Splits the input into the answers of the five steps. Each step reads a
// line of its own whose far end closes after its part, so reads end at once
// instead of at the steps' time-outs (seconds each).
constexpr std::string_view STEP_SEPARATOR = "|||";
constexpr int STEPS = 5;
constexpr int PROMPT_CYCLES = 10;

service svc;
pager pgr;

void configure() {
  svc.name = "fuzzcom";
  svc.password = "secret";
  svc.maxmsgsize = 80;
  svc.maxpages = 9;
  pgr.name = "bob";
  pgr.pagerid = "123456";
  pgr.service = &svc;
  debug = 0;
  interactive = false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  configure();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::string_view step[STEPS];
  for (int i = 0; i < STEPS && !rest.empty(); i++) {
    size_t end = rest.find(STEP_SEPARATOR);
    step[i] = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 3);
  }
  auto line = [&](int i) {
    return callvane_fuzz::peer_said(reinterpret_cast<const uint8_t*>(step[i].data()),
                                    step[i].size());
  };
  reset_packet_buffer();

  // Every step runs whatever the one before found, so that each is reached
  // without the fuzzer having to pass all the ones before it first.
  {
    auto modem = line(0);
    await_connect(modem.fd(), svc);
  }
  {
    auto terminal = line(1);
    for (int cycle = 0; cycle < PROMPT_CYCLES && !scan_for_prompt(terminal.fd()); cycle++) {
    }
  }
  {
    auto terminal = line(2);
    tap_login(terminal.fd(), svc);
  }
  {
    auto terminal = line(3);
    page pg;
    pg.message =
        "The disk on the mail relay is full again and the queue has stopped; please call the "
        "operator on duty as soon as you read this, the backup job is waiting as well.";
    pg.messageid = "Fz0001";
    pg.from = "alice@example.org";
    rcpt r;
    r.pager = "bob";
    job j{&pg, &r, &svc, &pgr};
    transfer(terminal.fd(), j);
  }
  {
    auto terminal = line(4);
    logout(terminal.fd(), svc);
  }
  return 0;
}
