// Parser state, its log lines, and the opening and closing of records.
#pragma once

#include <string>
#include <string_view>

#include "config/config.h"

namespace callvane {

// Where the parser stands in one file: the position for log lines, the
// record that indented keywords go to, and the errors counted so far.
struct parse_state {
  std::string file;
  int line = 0;
  modem* cur_modem = nullptr;
  service* cur_service = nullptr;
  pager* cur_pager = nullptr;
  pgroup* cur_group = nullptr;
  int errors = 0;
};

// Logs the message at `level` behind "FILE(LINE): ", without counting it.
void config_log(const parse_state& st, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Logs the message at LOG_ERR behind "FILE(LINE): " and counts one error.
void config_error(parse_state& st, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A value escaped for a log line; a copy because safe_string reuses its area.
std::string escaped(std::string_view s);

// True when this process may use `path` as `mode` says; else errno in `err`.
bool accessible(const std::string& path, int mode, int& err);

// The service every load starts with, which new services copy.
void create_default_service();

// Handlers of the keywords that open a record; a clash or duplicate is
// logged and leaves no record open, so its indented keywords are unexpected.
void new_modem(parse_state& st, const std::string& name);
void select_service(parse_state& st, const std::string& name);
void new_pager(parse_state& st, const std::string& name);
void new_group(parse_state& st, const std::string& name);

// Removes the pager being read from the list; its remaining lines have no record.
void drop_current_pager(parse_state& st);

// Checks the record being read for what it lacks, then leaves it; run
// before every global keyword and at the end of each file.
void close_records(parse_state& st);

}  // namespace callvane
