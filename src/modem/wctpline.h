// Paging carriers that take messages over WCTP (XML in an HTTPS POST).
#pragma once

#include <cstdint>
#include <memory>

#include "config/config.h"
#include "config/netdevice.h"
#include "modem/line.h"
#include "modem/wctp_xml.h"

namespace callvane {

// Most seconds to connect (TLS handshake included), and for a whole request
// and its answer.
inline constexpr long WCTP_CONNECT_SECONDS = 30;
inline constexpr long WCTP_REQUEST_SECONDS = 60;
// A larger answer is refused unread: no carrier's confirmation is that long.
inline constexpr size_t WCTP_ANSWER_MAX = 64 * 1024;

// The carrier of a modem record whose device is "wctp:URL". Opening sets up
// the HTTP client only; each job is one POST, and the jobs of a run share
// the connection.
std::unique_ptr<delivery_line> make_wctp_line(const service& svc, const modem& mdm,
                                              net_device where);

// The submission for one job at time `now`: the modem's account, the
// pager id, the message (with the sender's prefix as for TAP) cut to the
// service's maxmsgsize, and the page's id with the recipient's number.
wctp_submit wctp_submit_for(const job& j, const modem& mdm, int64_t now);

// What the job comes to for each verdict on the carrier's answer.
job_outcome wctp_job_outcome(wctp_verdict verdict);

}  // namespace callvane
