#include "config/config.h"

namespace callvane {

std::list<modem> modems;
std::list<service> services;
std::list<pager> pagers;
std::list<pgroup> groups;
service* defservice = nullptr;

void free_modems(std::list<modem>& list) { list.clear(); }
void free_services(std::list<service>& list) { list.clear(); }
void free_pagers(std::list<pager>& list) { list.clear(); }
void free_groups(std::list<pgroup>& list) { list.clear(); }

}  // namespace callvane
