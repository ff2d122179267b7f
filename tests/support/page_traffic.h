// Pages submitted over SNPP and the spool they land in, for stress tests.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace testsupport {

// What one submission over SNPP came to.
struct submission {
  bool greeted = false;      // the 220 greeting came
  bool turned_away = false;  // a 421 came instead of the greeting
  bool queued = false;       // "250 Message <id> queued for processing" came
  std::string reply;         // the reply to SEND, or "" when none came
};

// Connects to 127.0.0.1:`port` and sends PAGEr `pager`, MESSage `text`, SEND
// and QUIT, all within `limit`. With `linger` the session is held that long
// between the message and SEND (a session child that lives a while).
submission submit_page(const std::string& pager, const std::string& text, int port = 444,
                       std::chrono::milliseconds limit = std::chrono::seconds(10),
                       std::chrono::milliseconds linger = std::chrono::milliseconds(0));

// `piece` `times` over.
std::string repeated(const std::string& piece, size_t times);

// Name to content of the files in `dir` whose names start with `prefix`.
std::map<std::string, std::string> snapshot(const std::string& dir, const std::string& prefix = "");

// The value of the "Message:" line of a queue file's text; nullopt without one.
std::optional<std::string> message_line(const std::string& file_text);

// An environment count (say CALLVANE_KILLS) or `fallback` when unset or bad.
long env_number(const char* name, long fallback);

// The seed named by `name` in the environment, else one from the clock;
// printed either way so that a failing run can be repeated.
unsigned env_seed(const char* name);

// Resident memory of a process in kB; -1 when unknown.
long rss_kb(pid_t pid);

// True when an exclusive record lock on `path` can be taken now (and it is
// released again at once).
bool lock_free(const std::string& path);

}  // namespace testsupport
