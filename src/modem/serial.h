// Serial line, byte input and device locks.
#pragma once

#include <optional>
#include <string>

#include "config/config.h"

namespace callvane {

// "%s/LCK..%s" lock files holding "%10lu\n" with mode 0444.
int lock_device(const std::string& device);  // 0 locked, -1 not
void unlock_device(const std::string& device);

// Locks and opens a device for a dial-out; -1 on failure (then unlocked).
int open_device(const std::string& device);
// Line settings from the service: speed, framing, raw mode, VMIN 1 VTIME 10.
int setup_line(int fd, const service& svc);
// Drops DTR (falling back to "+++" and "ATH0") and closes the descriptor.
void hangup(int fd);
void close_line(int fd);

// Writes the whole text in one write; nothing for null.
void send_string(int fd, const char* text);
// One byte within `seconds`, or -1.
int read_byte(int fd, int seconds);
// Next CR-terminated packet, or nullopt on a time-out (a partial packet is
// kept for the next call).
std::optional<std::string> getpacket(int fd, int seconds);
// 1 when a packet equal to `text` arrived before a time-out, else 0.
int expect(int fd, const char* text, int seconds);

}  // namespace callvane
