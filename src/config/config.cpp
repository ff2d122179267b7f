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

// E.164 allows at most 15 digits after the country code's "+".
bool international_number(std::string_view number) {
  constexpr size_t E164_DIGITS = 15;
  if (number.size() < 2 || number.size() > E164_DIGITS + 1 || number[0] != '+') return false;
  for (char c : number.substr(1))
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace callvane
