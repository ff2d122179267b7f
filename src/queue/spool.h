// Entering the spool directory, where queue files and the queue lock live.
#pragma once

#include <string>

namespace callvane {

// Checks the spool directory named by `queuedir` and makes it the working
// directory, so that queue files and the queue lock are named relative to
// it. The number of problems found (each logged); 0 when there is no
// spool to enter, which the configuration load has reported already.
int enter_spool();

// The configuration load, then the spool for every mode that uses one
// (all but -i). The number of problems found.
int load_config_and_spool(const std::string& path);

}  // namespace callvane
