// The server side of one SNPP connection.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "common/page.h"

namespace callvane {

// The daemon's process id, set by the daemon before it serves anything; 0
// outside a daemon. A session asks only this process for a queue run.
extern pid_t daemon_pid;

// Longest command line a session takes (after whitespace folding), so that
// a MESSage line still carries a message of 16 KiB; longer lines are read
// to their end, refused and not kept.
inline constexpr size_t MAX_COMMAND_LINE = 32 * 1024;
// Longest DATA text a session takes, the same way.
inline constexpr size_t MAX_MESSAGE_TEXT = 64 * 1024;
// Longest message id, pager id or caller id a session stores: a queue file
// reads such values back only up to this length.
inline constexpr size_t MAX_QUEUE_WORD = 255;
// Most recipients one page may gather; each PAGEr beyond is refused.
inline constexpr size_t MAX_PAGE_RECIPIENTS = 1000;

// Runs one session on page.input and standard output: 0 after QUIT, -1 on
// a time-out or too many errors.
int snpp(page& p);

// Writes one reply line (CR LF added) to standard output and flushes it.
void snpp_reply(const std::string& text);
void snpp_help();
void snpp_who();

}  // namespace callvane
