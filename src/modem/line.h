// The delivery seam: one line to a service's paging terminal, used as a call.
#pragma once

#include <memory>
#include <string>

#include "config/config.h"
#include "modem/dispatch.h"

namespace callvane {

// What became of one job on a line.
struct job_outcome {
  enum result {
    delivered,  // the terminal or carrier took it
    refused,    // the pager id was refused
    unknown,    // the line was lost mid-job: tried once more on a new call
    failed,     // not taken now: `flag` says why, the job stays queued
  };
  result what = failed;
  // For failed: the recipient flag, and whether the line can carry the
  // service's next job (if not, the next job makes a new call).
  unsigned flag = 0;
  bool line_usable = true;
  // For refused: trying again cannot help (a carrier does not know the
  // pager), so the attempt uses up the recipient's tries. A TAP terminal's
  // refusal leaves it to be tried again until maxtries.
  bool final = false;
};

// A way to one service's terminal: a modem on a serial device, a terminal
// on the network. Delivery uses it as a call: open, log in, send jobs, log
// out, close. Failures are the recipient flags a page records.
class delivery_line {
 public:
  virtual ~delivery_line() = default;

  // Takes the device: true when it can be used; false leaves nothing held,
  // and the service's next device is tried.
  virtual bool open() = 0;
  // The flag a recipient records when no device of its service could be
  // opened and this one was among those tried.
  virtual unsigned open_failure() const = 0;
  // Sets the line up, reaches the terminal and logs in: 0 when ready for
  // jobs, else the flag that names the failure.
  virtual unsigned log_in() = 0;
  // Sends one job; the attempt counts as a try whatever comes of it.
  virtual job_outcome send(const job& j) = 0;
  // Ends the terminal session of a line that is logged in.
  virtual void log_out() = 0;
  // Hangs up and releases the device; nothing after a failed open.
  virtual void close() = 0;
};

// The text one job gives a carrier in a single page: the sender's prefix
// as for TAP, then the message, cut to the service's maxmsgsize. Empty
// when maxmsgsize leaves no room.
std::string carrier_text(const job& j);

// The line behind one entry of a service's device list: a modem's name
// (for its device) or a device path. Null, after the log line that says
// why, for an entry that names nothing usable.
std::unique_ptr<delivery_line> make_line(const service& svc, const std::string& entry);

}  // namespace callvane
