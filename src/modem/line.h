// The delivery seam: one line to a service's paging terminal, used as a call.
#pragma once

#include <memory>
#include <string>

#include "config/config.h"
#include "modem/dispatch.h"

namespace callvane {

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
  // Sends one job: 0 delivered, 1 status unknown (the line is lost), -1
  // refused.
  virtual int send(const job& j) = 0;
  // Ends the terminal session of a line that is logged in.
  virtual void log_out() = 0;
  // Hangs up and releases the device; nothing after a failed open.
  virtual void close() = 0;
};

// The line behind one entry of a service's device list: a modem's name
// (for its device) or a device path. Null, after the log line that says
// why, for an entry that names nothing usable.
std::unique_ptr<delivery_line> make_line(const service& svc, const std::string& entry);

}  // namespace callvane
