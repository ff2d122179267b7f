// Process-wide run settings chosen on the command line.
#pragma once

#include <string>

namespace callvane {

inline constexpr const char* VERSION = "3.3";
inline constexpr const char* DEFAULT_CONFIGFILE = "/usr/local/etc/callvane.conf";

extern int debug;               // one more per -d
extern bool interactive;        // -i: log lines go to standard output
extern std::string configfile;  // -C, else DEFAULT_CONFIGFILE
extern bool notty;              // standard input is not a terminal

// Step-by-step traces of the modem dialogue are wanted.
inline bool verbose() { return interactive || debug >= 1; }

}  // namespace callvane
