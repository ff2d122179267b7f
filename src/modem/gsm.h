// The GSM modem dialogue of text-mode SMS (3GPP TS 27.005): bring-up and answers.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"

namespace callvane {

// What a GSM modem said to one AT command.
struct at_answer {
  enum kind { ok, error, timeout };
  kind what = timeout;
  std::string final;              // "OK", "ERROR", "+CMS ERROR: 1", ...
  std::vector<std::string> info;  // information lines before it
};

// Reads the answer to a command already sent: information lines up to the
// final result code, each byte within `seconds`, all within twice that.
at_answer read_answer(int fd, int seconds);

// Sends `command` and a CR and reads its answer.
at_answer at_command(int fd, std::string_view command, int seconds);

// The code of a "+CMS ERROR: N" answer, or -1.
int cms_code(const std::string& final);

// True for the "+CMS ERROR" codes that say the number itself is wrong, so
// that no later try can reach it.
bool number_refused(int code);

// Resets the modem, switches echo off, unlocks the SIM (once), waits for
// the network and selects text mode and the GSM alphabet: 0 when the modem
// takes messages, else the recipient flag that names the failure.
unsigned gsm_bring_up(int fd, const service& svc, const modem* mdm, const std::string& device);

// True once the SIM in `device` refused this PIN: it is not sent again (a
// SIM locks itself after three wrong PINs), in this run or any later one,
// until the configuration gives another PIN or the SIM takes one.
bool pin_refused(const std::string& device, const std::optional<std::string>& pin);
// Forgets the refusals this process knows of (not those in the spool).
void forget_refused_pins();

}  // namespace callvane
