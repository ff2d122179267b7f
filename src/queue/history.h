// The record of finished pages: what became of each recipient, kept a while.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/page.h"

namespace callvane {

// The record lives in the spool as HISTORY_FILE; once that passes
// HISTORY_FILE_BYTES it becomes HISTORY_OLD_FILE (replacing the one
// before) and a new one starts: the latest HISTORY_FILE_BYTES to twice
// that of records are kept.
inline constexpr const char* HISTORY_FILE = "finished";
inline constexpr const char* HISTORY_OLD_FILE = "finished.old";
inline constexpr long HISTORY_FILE_BYTES = 256 * 1024;

struct finished_recipient {
  std::string pager;
  bool delivered = false;
  int32_t tries = 0;
};

struct finished_page {
  std::string id;
  int64_t finished = 0;
  std::vector<finished_recipient> recipients;
};

// One record line for a page whose run is over ("" for a page without id).
std::string history_line(const page& p, int64_t when);

// Appends record lines to the current directory's record and syncs them;
// false when they could not be made durable.
bool append_history(const std::string& lines);

// The latest record of `id` in the current directory's record, if any.
std::optional<finished_page> find_finished(const std::string& id);

// Reads one record line (for the reader and its tests).
std::optional<finished_page> parse_history_line(const std::string& line);

}  // namespace callvane
