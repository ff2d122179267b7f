// Configuration records and lookups.
//
// Lists run newest first: every new record goes to the front. std::list keeps
// record addresses stable, so the non-owning references between records
// (a pager's service, a member's pager) stay valid until the next load.
#pragma once

#include <list>
#include <optional>
#include <string>
#include <string_view>

#include "common/settings.h"

namespace callvane {

inline constexpr int PARITY_NONE = 0;
inline constexpr int PARITY_ODD = 1;
inline constexpr int PARITY_EVEN = 2;

struct modem {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::string> device;
  std::string initcmd = "ATZ";
  std::string dialcmd = "ATDT";
  // For a tls: device: the certificates to trust instead of the system's,
  // and the name the terminal's certificate must carry instead of the host.
  std::optional<std::string> cafile;
  std::optional<std::string> servername;
  // For a carrier (snpp: or wctp:): the account, sent as SNPP LOGIn or as
  // WCTP senderID and securityCode. The password is never logged.
  std::optional<std::string> login;
  std::optional<std::string> password;
  // For a GSM modem: the SIM's PIN, sent only when the SIM asks for one.
  // Never logged, never shown.
  std::optional<std::string> pin;
};

// How a service hands its pages over: TAP to a paging terminal (by modem
// or network, or a carrier), or SMS through a GSM modem.
enum class delivery_protocol { tap, sms };

struct service {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::string> device;   // comma-separated modem names or paths
  std::optional<std::string> dialcmd;  // obsolete; replaces the modem's
  std::optional<std::string> phone;
  std::optional<std::string> password;
  unsigned baudrate = 300;
  int parity = PARITY_EVEN;
  int maxmsgsize = 80;
  int maxpages = 9;
  int maxtries = 6;
  int identfrom = 1;
  int allowpid = 0;
  int msgprefix = 1;
  delivery_protocol protocol = delivery_protocol::tap;
};

// An SMS recipient's number in international form: "+" and 1 to 15 digits.
bool international_number(std::string_view number);

struct pager {
  std::string name;
  std::optional<std::string> text;
  std::optional<std::string> pagerid;
  struct service* service = nullptr;  // not owned
};

struct member {
  struct pager* pager = nullptr;  // not owned
  std::optional<std::string> schedule;
};

struct pgroup {
  std::string name;
  std::optional<std::string> text;
  std::list<member> members;  // newest member= line first
};

extern std::list<modem> modems;
extern std::list<service> services;
extern std::list<pager> pagers;
extern std::list<pgroup> groups;
extern service* defservice;

// First record whose name equals `name` exactly, or null.
template <typename Record>
Record* lookup(std::list<Record>& list, std::string_view name) {
  for (Record& r : list)
    if (r.name == name) return &r;
  return nullptr;
}

// Release routines: empty a list with everything its records own.
void free_modems(std::list<modem>& list);
void free_services(std::list<service>& list);
void free_pagers(std::list<pager>& list);
void free_groups(std::list<pgroup>& list);

}  // namespace callvane
