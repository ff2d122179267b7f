// The simulator as a GSM modem that sends SMS in text mode (3GPP TS 27.005).
#pragma once

#include <signal.h>

#include "line.h"
#include "options.h"

namespace callvane::tapsim {

// Serves callers on `tty` as a GSM modem until `stop` is set or the
// lifetime is over. A call lasts from the caller's first command until it
// drops DTR or closes the device.
void run_gsm(const options& opt, line_end& tty, const volatile sig_atomic_t& stop);

}  // namespace callvane::tapsim
