// The page record: one message for one or more recipients.
#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <string>

namespace callvane {

class in_stream;

// Recipient flags; their names and order are part of the queue file format.
inline constexpr uint32_t F_SENT = 0x0001;
inline constexpr uint32_t F_FAILED = 0x0002;
inline constexpr uint32_t F_BUSY = 0x0004;
inline constexpr uint32_t F_NOCARRIER = 0x0008;
inline constexpr uint32_t F_NOMODEM = 0x0010;
inline constexpr uint32_t F_FORCED = 0x0020;
inline constexpr uint32_t F_NOPROMPT = 0x0040;
inline constexpr uint32_t F_UNKNOWN = 0x0080;
inline constexpr uint32_t F_REJECT = 0x0100;
inline constexpr uint32_t F_RAWPID = 0x0200;
inline constexpr uint32_t F_SENDMAIL = 0x0400;
inline constexpr uint32_t F_SENTMAIL = 0x0800;
inline constexpr uint32_t F_SENTADMIN = 0x1000;
// The outcome of the latest attempt; cleared when a new attempt starts.
inline constexpr uint32_t F_OUTCOME_MASK = 0x01FF;

// Page flag: nothing is left to deliver; the file is set aside as bad.
inline constexpr uint32_t F_BADPAGE = 0x2000;

struct rcpt {
  std::string pager;                    // configured name or raw pager id
  std::optional<std::string> coverage;  // service to use instead of the pager's
  int64_t holduntil = 0;                // 0: no hold
  int64_t lasttry = 0;                  // 0: never tried
  int32_t goodtries = 0;                // attempts counted against maxtries
  int32_t tries = 0;                    // every attempt
  int32_t servicelevel = 1;             // SNPP level 0..11
  uint32_t flags = 0;

  bool finished() const { return (flags & (F_SENT | F_FAILED)) != 0; }
};

struct page {
  in_stream* input = nullptr;  // the submitting connection; not owned
  std::optional<std::string> filename;
  std::list<rcpt> rcpts;  // head first; new recipients go to the front
  int64_t created = 0;
  std::optional<std::string> message;
  std::optional<std::string> messageid;
  std::optional<std::string> login;
  std::optional<std::string> ident;
  std::optional<std::string> from;  // none: anonymous
  std::optional<std::string> hostname;
  uint32_t flags = 0;
};

// Releases the recipients, file name, message, login and sender. With keep
// the page is reset for the next submission on the same connection and
// keeps input, messageid, ident and hostname; without keep it is emptied
// completely (the C++ owner then drops it).
void free_page(page& p, bool keep);

}  // namespace callvane
