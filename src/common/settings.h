// Process-wide run settings: from the command line and the configuration.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace callvane {

inline constexpr const char* VERSION = "3.3";
inline constexpr const char* DEFAULT_CONFIGFILE = "/usr/local/etc/callvane.conf";

extern int debug;               // one more per -d
extern bool interactive;        // -i: log lines go to standard output
extern std::string configfile;  // -C, else DEFAULT_CONFIGFILE
extern bool notty;              // standard input is not a terminal

// Step-by-step traces of the modem dialogue are wanted.
inline bool verbose() { return interactive || debug >= 1; }

// Global settings of the configuration file, set by each load.
inline constexpr const char* DEFAULT_QUEUEDIR = "/var/spool/callvane";
inline constexpr const char* DEFAULT_LOCKDIR = "/var/spool/lock";

extern std::optional<std::string> queuedir;
extern std::optional<std::string> lockdir;
extern int identtimeout;
extern int snpptimeout;
// Most SNPP sessions served at once; more connections get a 421 reply.
// 0 (from a value of 0 or less): no limit.
inline constexpr int DEFAULT_MAXSESSIONS = 32;
extern int maxsessions;
// Most lines a queue run calls at the same time, each from a process of its
// own. 1 delivers service after service in the run's own process.
inline constexpr int DEFAULT_LINES = 1;
inline constexpr int MAX_LINES = 64;
extern int lines;
extern std::optional<std::string> administrator;
extern std::optional<std::string> forcehostname;
extern std::optional<std::string> pidfile;  // survives a reload
extern std::optional<std::string> sigfile;  // survives a reload
extern int synchronous;                     // survives a reload

// The HTTP intake: off unless httplisten names an address and port.
inline constexpr int DEFAULT_HTTPTIMEOUT = 30;
extern std::optional<std::string> httplisten;  // "ADDRESS:PORT", IPv6 in brackets
extern std::optional<std::string> httpcert;    // with httpkey: HTTPS
extern std::optional<std::string> httpkey;
extern std::vector<std::string> httptokens;  // bearer tokens; none: nobody may post
extern int httptimeout;                      // seconds for one request, all of it
extern bool httpopenmetrics;                 // /metrics without a token

}  // namespace callvane
