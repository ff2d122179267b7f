// Reading configuration files line by line, within bounds, with their includes.
#pragma once

#include <string>

#include "config/records.h"

namespace callvane {

// Starts the count of bytes that bounds one load over all its files.
void start_load();

// Parses one file into the configuration. `includer` is the state of the
// file whose include= line names it, null for the top file; an include that
// is refused counts against that line. The number of errors in the file,
// or, when it cannot be opened, -1 for the top file and 1 for an include.
int parse_file(const std::string& path, parse_state* includer);

}  // namespace callvane
