// Serial line and byte input.
#pragma once

#include <termios.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/instream.h"
#include "config/config.h"
#include "modem/devicelock.h"

namespace callvane {

// Locks and opens a device for a dial-out; -1 on failure (then unlocked).
int open_device(const std::string& device);
// Line settings from the service: speed, framing, raw mode, VMIN 1 VTIME 10.
int setup_line(int fd, const service& svc);
// The attribute changes setup_line makes, on a copy; false for a speed the
// line cannot take. (A pseudo-terminal forces 8N1, so framing is checked
// here.)
bool line_settings(termios& t, const service& svc);
// Drops DTR (falling back to "+++" and "ATH0") and closes the descriptor.
void hangup(int fd);
void close_line(int fd);
// Sets up a line open_device gave: true when ready; false after closing it,
// never dialled, and unlocking the device (`fd` is then -1).
bool set_up_or_release(int& fd, const std::string& device, const service& svc);
// Hangs up a line open_device gave and unlocks its device; nothing for -1.
void hang_up_and_release(int& fd, const std::string& device);
// True when the modem reports carrier; a line that cannot be asked (a
// pseudo-terminal) has none.
bool carrier_present(int fd);
// Replaces the modem-status query behind carrier_present (null restores
// it), so that lines with a carrier can be exercised on pseudo-terminals.
using carrier_query = bool (*)(int fd);
void set_carrier_query(carrier_query query);

// Writes the whole text in one write; nothing for null.
void send_string(int fd, const char* text);
// Writes all bytes (NULs included) unless the line stays blocked for
// WRITE_LIMIT_SECONDS; false when not everything could be written.
bool send_bytes(int fd, std::string_view bytes);
inline constexpr int WRITE_LIMIT_SECONDS = 10;
// One byte within `seconds`, or -1.
int read_byte(int fd, int seconds);
// Next CR-terminated packet, or nullopt on a time-out (a partial packet is
// kept for the next call). Each byte may take `seconds`; `overall` bounds
// the whole call so that a peer that never stops talking cannot hold it.
std::optional<std::string> getpacket(int fd, int seconds, const time_limit& overall = std::nullopt);
// 1 when a packet equal to `text` arrived before a time-out, else 0.
int expect(int fd, const char* text, int seconds);

// A line that is no serial device (a paging terminal reached over the
// network) carries its bytes through one of these instead of read and write.
class line_channel {
 public:
  virtual ~line_channel() = default;
  // One byte (0 to 255) before `until`, or -1 at the time limit, an error
  // or the peer's end of the stream.
  virtual int read_byte(time_limit until) = 0;
  // Writes every byte before `until`; false when that could not be done.
  virtual bool write_all(std::string_view bytes, time_limit until) = 0;
  // True once the peer has closed its end.
  virtual bool closed() const = 0;
};
// Routes the byte input and output on `fd` through `channel` (one line at a
// time, as for serial lines); null removes it.
void attach_channel(int fd, std::unique_ptr<line_channel> channel);
// True once the peer of a channel line has closed it; never for a serial line.
bool line_closed(int fd);

// Forgets any partial packet (the buffer is shared by the whole process).
void reset_packet_buffer();
// Sleeps whole seconds, resuming after signals.
void pause_seconds(int seconds);

// Longest packet kept; a longer line is cut into packets of this size.
inline constexpr size_t PACKET_MAX = 1023;

}  // namespace callvane
