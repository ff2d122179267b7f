// Configuration file loading.
#pragma once

#include <string>

namespace callvane {

// Empties the configuration, parses `path` and checks the lock directory
// and that a spool directory is named (entering it is the queue's). 0 on
// success, anything else means errors.
int read_config(const std::string& path);

// Empties the four lists and resets the settings every load starts from;
// pidfile, sigfile and synchronous keep their values across loads.
void clear_config();

// Parses one file into the configuration; the number of errors, or -1 when
// the file cannot be opened.
int parse_config(const std::string& path);

}  // namespace callvane
