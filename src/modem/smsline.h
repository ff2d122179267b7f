// SMS through a GSM modem on a serial device: the line of an SMS service.
#pragma once

#include <memory>
#include <string>

#include "config/config.h"
#include "modem/line.h"

namespace callvane {

// The GSM modem on `device` (a modem record's device, `mdm` null for a
// path). A call is: open locks the device as for a Hayes modem, log_in
// sets the line up and brings the modem up (SIM, network, text mode),
// each job is one SMS per part of its message, close hangs up.
std::unique_ptr<delivery_line> make_sms_line(const service& svc, const modem* mdm,
                                             std::string device);

}  // namespace callvane
