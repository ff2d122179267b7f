// Process-wide run settings and their defaults.
#include "common/settings.h"

namespace callvane {

int debug = 0;
bool interactive = false;
std::string configfile = DEFAULT_CONFIGFILE;
bool notty = false;

std::optional<std::string> queuedir = std::string(DEFAULT_QUEUEDIR);
std::optional<std::string> lockdir = std::string(DEFAULT_LOCKDIR);
int identtimeout = 10;
int snpptimeout = 60;
int maxsessions = DEFAULT_MAXSESSIONS;
int lines = DEFAULT_LINES;
std::optional<std::string> administrator;
std::optional<std::string> forcehostname;
std::optional<std::string> pidfile;
std::optional<std::string> sigfile;
int synchronous = 1;

std::optional<std::string> httplisten;
std::optional<std::string> httpcert;
std::optional<std::string> httpkey;
std::vector<std::string> httptokens;
int httptimeout = DEFAULT_HTTPTIMEOUT;
bool httpopenmetrics = false;

}  // namespace callvane
