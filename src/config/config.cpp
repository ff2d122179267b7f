#include "config/config.h"

namespace callvane {

std::list<modem> modems;
std::list<service> services;
std::list<pager> pagers;
std::list<pgroup> groups;
service* defservice = nullptr;

std::optional<std::string> queuedir = std::string(DEFAULT_QUEUEDIR);
std::optional<std::string> lockdir = std::string(DEFAULT_LOCKDIR);
int identtimeout = 10;
int snpptimeout = 60;
int maxsessions = DEFAULT_MAXSESSIONS;
std::optional<std::string> administrator;
std::optional<std::string> forcehostname;
std::optional<std::string> pidfile;
std::optional<std::string> sigfile;
int synchronous = 1;

void free_modems(std::list<modem>& list) { list.clear(); }
void free_services(std::list<service>& list) { list.clear(); }
void free_pagers(std::list<pager>& list) { list.clear(); }
void free_groups(std::list<pgroup>& list) { list.clear(); }

}  // namespace callvane
