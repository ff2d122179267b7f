// Paging carriers that take pages over SNPP: the gateway as their client.
#pragma once

#include <memory>
#include <string>

#include "config/config.h"
#include "config/netdevice.h"
#include "modem/dispatch.h"
#include "modem/line.h"

namespace callvane {

// The carrier of a modem record whose device is "snpp:HOST:PORT". A call
// is one SNPP session: open connects and takes the greeting, log_in sends
// LOGIn when the modem has a login, each job is the recipient's options,
// PAGEr, the message and SEND, and log_out is QUIT.
std::unique_ptr<delivery_line> make_snpp_line(const service& svc, const modem& mdm,
                                              net_device where);

}  // namespace callvane
