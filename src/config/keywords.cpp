// The keyword table of the configuration file and the handlers it names.
#include "config/keywords.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"
#include "config/groups.h"
#include "config/netdevice.h"
#include "config/reader.h"

namespace callvane {

namespace {

// --- reading values ----------------------------------------------------------

bool is_word(std::string_view value, std::initializer_list<const char*> words) {
  for (const char* w : words)
    if (value.size() == strlen(w) && strncasecmp(value.data(), w, value.size()) == 0) return true;
  return false;
}

bool is_off_word(std::string_view v) { return is_word(v, {"no", "off", "false"}); }
bool is_on_word(std::string_view v) { return is_word(v, {"on", "yes", "true"}); }

// Decimal integer from the start of the value, 0 for no number; values out
// of range saturate instead of overflowing.
long long to_number(const std::string& value) { return strtoll(value.c_str(), nullptr, 10); }

int to_int(const std::string& value) {
  long long n = to_number(value);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

// `text` values cannot hold blanks, so the file writes them as underscores.
std::string text_value(std::string value) {
  for (char& c : value)
    if (c == '_') c = ' ';
  return value;
}

// Takes `value` for the setting when the path allows `mode`, else one error.
void set_checked_path(parse_state& st, std::optional<std::string>& setting,
                      const std::string& value, int mode) {
  int err = 0;
  if (accessible(value, mode, err)) {
    setting = value;
    return;
  }
  config_error(st, "cannot access %s: %s", escaped(value).c_str(), strerror(err));
}

void set_checked_dir(parse_state& st, std::optional<std::string>& setting,
                     const std::string& value) {
  set_checked_path(st, setting, value, R_OK | W_OK | X_OK);
}

// --- global keywords ---------------------------------------------------------

void include(parse_state& st, const std::string& value) { st.errors += parse_file(value, &st); }

void set_synchronous(parse_state&, const std::string& value) {
  if (is_off_word(value)) synchronous = 0;
}

void set_queuedir(parse_state& st, const std::string& value) {
  set_checked_dir(st, queuedir, value);
}

void set_lockdir(parse_state& st, const std::string& value) { set_checked_dir(st, lockdir, value); }

void set_identtimeout(parse_state&, const std::string& value) {
  int n = to_int(value);
  identtimeout = n <= 0 ? 0 : n;
}

void set_snpptimeout(parse_state&, const std::string& value) {
  int n = to_int(value);
  snpptimeout = n < 2 ? 2 : n;
}

void set_pidfile(parse_state&, const std::string& value) { pidfile = value; }

void set_administrator(parse_state&, const std::string& value) { administrator = value; }

void set_forcehostname(parse_state&, const std::string& value) {
  if (value[0] == '@')
    forcehostname = value;
  else if (is_on_word(value))
    forcehostname = "true";
}

void set_sigfile(parse_state& st, const std::string& value) {
  set_checked_path(st, sigfile, value, R_OK);
}

void set_maxsessions(parse_state&, const std::string& value) {
  int n = to_int(value);
  maxsessions = n <= 0 ? 0 : n;
}

void set_lines(parse_state& st, const std::string& value) {
  int n = to_int(value);
  if (n < 1 || n > MAX_LINES) {
    config_error(st, "lines must be from 1 to %d: %s", MAX_LINES, escaped(value).c_str());
    return;
  }
  lines = n;
}

void set_httplisten(parse_state& st, const std::string& value) {
  // ADDRESS:PORT, the port after the last colon; IPv6 addresses in brackets.
  size_t colon = value.rfind(':');
  bool ok = colon != std::string::npos && colon > 0 && colon + 1 < value.size();
  if (ok) {
    long long port = to_number(value.substr(colon + 1));
    ok = port > 0 && port < 65536 &&
         value.find_first_not_of("0123456789", colon + 1) == std::string::npos;
  }
  if (ok)
    httplisten = value;
  else
    config_error(st, "bad httplisten %s: want ADDRESS:PORT", escaped(value).c_str());
}

void set_httpcert(parse_state& st, const std::string& value) {
  set_checked_path(st, httpcert, value, R_OK);
}

void set_httpkey(parse_state& st, const std::string& value) {
  set_checked_path(st, httpkey, value, R_OK);
}

void set_httptoken(parse_state&, const std::string& value) { httptokens.push_back(value); }

void set_httptimeout(parse_state&, const std::string& value) {
  int n = to_int(value);
  httptimeout = n < 1 ? 1 : n;
}

void set_httpmetrics(parse_state& st, const std::string& value) {
  if (is_word(value, {"open"}))
    httpopenmetrics = true;
  else if (is_word(value, {"token"}))
    httpopenmetrics = false;
  else
    config_error(st, "bad httpmetrics %s: want open or token", escaped(value).c_str());
}

// --- modem keywords ----------------------------------------------------------

void set_modem_text(parse_state& st, const std::string& value) {
  st.cur_modem->text = text_value(value);
}

void set_modem_device(parse_state& st, const std::string& value) {
  modem& m = *st.cur_modem;
  if (!is_net_device(value)) {
    set_checked_path(st, m.device, value, R_OK | W_OK);
    return;
  }
  // A terminal on the network: its form is checked now, its reachability
  // at every call.
  std::string why;
  if (parse_net_device(value, why))
    m.device = value;
  else
    config_error(st, "bad network device %s: %s", escaped(value).c_str(), why.c_str());
}

void set_login(parse_state& st, const std::string& value) { st.cur_modem->login = value; }

void set_modem_password(parse_state& st, const std::string& value) {
  st.cur_modem->password = value;
}

// SIM PINs are 4 to 8 digits; the value is never echoed in a message.
void set_pin(parse_state& st, const std::string& value) {
  bool digits = value.size() >= 4 && value.size() <= 8;
  for (char c : value)
    if (!is_digit(static_cast<unsigned char>(c))) digits = false;
  if (digits)
    st.cur_modem->pin = value;
  else
    config_error(st, "pin of modem=%s is not 4 to 8 digits", escaped(st.cur_modem->name).c_str());
}

void set_cafile(parse_state& st, const std::string& value) {
  set_checked_path(st, st.cur_modem->cafile, value, R_OK);
}

void set_servername(parse_state& st, const std::string& value) { st.cur_modem->servername = value; }

void set_initcmd(parse_state& st, const std::string& value) { st.cur_modem->initcmd = value; }

void set_modem_dialcmd(parse_state& st, const std::string& value) { st.cur_modem->dialcmd = value; }

// --- service keywords --------------------------------------------------------

void set_service_text(parse_state& st, const std::string& value) {
  st.cur_service->text = text_value(value);
}

// Entries that are neither a modem record nor a usable path are only
// warned about: a modem may still be defined after the service.
void set_service_device(parse_state& st, const std::string& value) {
  std::optional<std::string_view> state(value);
  std::string entry;
  while (next_token(state, ",", entry)) {
    if (lookup(modems, entry) != nullptr) continue;
    if (!entry.empty() && entry[0] == '/') {
      int err = 0;
      if (!accessible(entry, R_OK | W_OK, err))
        config_log(st, LOG_WARNING, "cannot access %s: %s", escaped(entry).c_str(), strerror(err));
    } else {
      config_log(st, LOG_WARNING, "undefined modem %s", escaped(entry).c_str());
    }
  }
  st.cur_service->device = value;
}

void set_service_dialcmd(parse_state& st, const std::string& value) {
  st.cur_service->dialcmd = value;
  config_log(st, LOG_WARNING, "warning: obsolete keyword \"dialcmd\"");
}

void set_phone(parse_state& st, const std::string& value) { st.cur_service->phone = value; }

void set_password(parse_state& st, const std::string& value) { st.cur_service->password = value; }

void set_protocol(parse_state& st, const std::string& value) {
  if (is_word(value, {"tap"}))
    st.cur_service->protocol = delivery_protocol::tap;
  else if (is_word(value, {"sms"}))
    st.cur_service->protocol = delivery_protocol::sms;
  else
    config_error(st, "unknown protocol %s", escaped(value).c_str());
}

void set_baudrate(parse_state& st, const std::string& value) {
  long long n = to_number(value);
  switch (n) {
    case 300:
    case 1200:
    case 2400:
    case 9600:
    case 19200:
    case 38400:
    case 57600:
    case 115200:
      st.cur_service->baudrate = static_cast<unsigned>(n);
      break;
    default:
      logmsg(LOG_WARNING, "unrecognized baud rate %s", escaped(value).c_str());
      st.cur_service->baudrate = 300;
  }
}

void set_parity(parse_state& st, const std::string& value) {
  service& s = *st.cur_service;
  if (is_word(value, {"even"}))
    s.parity = PARITY_EVEN;
  else if (is_word(value, {"odd"}))
    s.parity = PARITY_ODD;
  else if (is_word(value, {"none"}))
    s.parity = PARITY_NONE;
  else
    logmsg(LOG_WARNING, "unrecognized parity %s", escaped(value).c_str());
}

void set_maxmsgsize(parse_state& st, const std::string& value) {
  int n = to_int(value);
  st.cur_service->maxmsgsize = n >= 250 ? 250 : n;
}

void set_maxpages(parse_state& st, const std::string& value) {
  int n = to_int(value);
  st.cur_service->maxpages = n < 2 ? 1 : n >= 9 ? 9 : n;
}

void set_maxtries(parse_state& st, const std::string& value) {
  st.cur_service->maxtries = to_int(value);
}

void set_identfrom(parse_state& st, const std::string& value) {
  if (is_off_word(value)) st.cur_service->identfrom = 0;
}

void set_allowpid(parse_state& st, const std::string& value) {
  if (is_on_word(value)) st.cur_service->allowpid = 1;
}

void set_msgprefix(parse_state& st, const std::string& value) {
  if (is_off_word(value)) st.cur_service->msgprefix = 0;
}

// --- pager keywords ----------------------------------------------------------

void set_pager_text(parse_state& st, const std::string& value) {
  st.cur_pager->text = text_value(value);
}

void set_pagerid(parse_state& st, const std::string& value) { st.cur_pager->pagerid = value; }

void set_pager_service(parse_state& st, const std::string& value) {
  if (service* s = lookup(services, value)) {
    st.cur_pager->service = s;
    return;
  }
  std::string name = escaped(st.cur_pager->name);
  logmsg(LOG_ERR, "no service %s for pager=%s", escaped(value).c_str(), name.c_str());
  st.errors++;
  // The pager is dropped at once; its remaining lines have no record.
  drop_current_pager(st);
}

// --- group keywords ----------------------------------------------------------

void set_group_text(parse_state& st, const std::string& value) {
  st.cur_group->text = text_value(value);
}

// "member=PAGER" or "member=PAGER/SCHEDULE"; the pager must be defined by now.
void add_member(parse_state& st, const std::string& value) {
  pgroup& g = *st.cur_group;
  std::string name = value;
  std::optional<std::string> schedule;
  if (size_t slash = value.find('/'); slash != std::string::npos) {
    name = value.substr(0, slash);
    schedule = value.substr(slash + 1);
  }
  if (schedule && !valid_schedule(*schedule)) {
    logmsg(LOG_ERR, "invalid schedule: %s", escaped(*schedule).c_str());
    return;
  }
  pager* p = lookup(pagers, name);
  if (p == nullptr) {
    std::string gname = escaped(g.name);
    logmsg(LOG_ERR, "no such pager %s for group=%s", escaped(name).c_str(), gname.c_str());
    return;
  }
  g.members.push_front(member{p, schedule});
}

// --- the table and its dispatch ----------------------------------------------

// Global keywords stand in column one; the others are indented and apply to
// the record of their kind that is open.
enum class scope { global, modem, service, pager, group };

struct keyword {
  std::string_view name;
  scope where;
  void (*apply)(parse_state& st, const std::string& value);
};

constexpr keyword KEYWORDS[] = {
    {"include", scope::global, include},
    {"synchronous", scope::global, set_synchronous},
    {"queuedir", scope::global, set_queuedir},
    {"lockdir", scope::global, set_lockdir},
    {"identtimeout", scope::global, set_identtimeout},
    {"snpptimeout", scope::global, set_snpptimeout},
    {"pidfile", scope::global, set_pidfile},
    {"administrator", scope::global, set_administrator},
    {"forcehostname", scope::global, set_forcehostname},
    {"sigfile", scope::global, set_sigfile},
    {"maxsessions", scope::global, set_maxsessions},
    {"lines", scope::global, set_lines},
    {"httplisten", scope::global, set_httplisten},
    {"httpcert", scope::global, set_httpcert},
    {"httpkey", scope::global, set_httpkey},
    {"httptoken", scope::global, set_httptoken},
    {"httptimeout", scope::global, set_httptimeout},
    {"httpmetrics", scope::global, set_httpmetrics},
    {"modem", scope::global, new_modem},
    {"service", scope::global, select_service},
    {"pager", scope::global, new_pager},
    {"group", scope::global, new_group},

    {"text", scope::modem, set_modem_text},
    {"device", scope::modem, set_modem_device},
    {"cafile", scope::modem, set_cafile},
    {"servername", scope::modem, set_servername},
    {"login", scope::modem, set_login},
    {"password", scope::modem, set_modem_password},
    {"pin", scope::modem, set_pin},
    {"initcmd", scope::modem, set_initcmd},
    {"dialcmd", scope::modem, set_modem_dialcmd},

    {"text", scope::service, set_service_text},
    {"device", scope::service, set_service_device},
    {"dialcmd", scope::service, set_service_dialcmd},
    {"protocol", scope::service, set_protocol},
    {"phone", scope::service, set_phone},
    {"password", scope::service, set_password},
    {"baudrate", scope::service, set_baudrate},
    {"parity", scope::service, set_parity},
    {"maxmsgsize", scope::service, set_maxmsgsize},
    {"maxpages", scope::service, set_maxpages},
    {"maxtries", scope::service, set_maxtries},
    {"identfrom", scope::service, set_identfrom},
    {"allowpid", scope::service, set_allowpid},
    {"msgprefix", scope::service, set_msgprefix},

    {"text", scope::pager, set_pager_text},
    {"pagerid", scope::pager, set_pagerid},
    {"service", scope::pager, set_pager_service},

    {"text", scope::group, set_group_text},
    {"member", scope::group, add_member},
};

// Matches "NAME=value" at the start of `text`; the value runs to the next
// white space and must not be empty. `used` gets the characters consumed.
bool match(std::string_view text, std::string_view name, std::string& value, size_t& used) {
  if (text.size() <= name.size() || text.substr(0, name.size()) != name || text[name.size()] != '=')
    return false;
  size_t start = name.size() + 1;
  size_t end = start;
  while (end < text.size() && !is_space(static_cast<unsigned char>(text[end]))) end++;
  if (end == start) return false;
  value.assign(text.substr(start, end - start));
  used = end;
  return true;
}

// The keyword of `where` that `text` starts with, or null.
const keyword* find_keyword(scope where, std::string_view text, std::string& value, size_t& used) {
  for (const keyword& k : KEYWORDS)
    if (k.where == where && match(text, k.name, value, used)) return &k;
  return nullptr;
}

// The scope of the record that indented keywords go to, if one is open.
std::optional<scope> open_record(const parse_state& st) {
  if (st.cur_modem) return scope::modem;
  if (st.cur_service) return scope::service;
  if (st.cur_pager) return scope::pager;
  if (st.cur_group) return scope::group;
  return std::nullopt;
}

}  // namespace

void parse_line(parse_state& st, std::string_view text) {
  while (true) {
    size_t first = 0;
    while (first < text.size() && is_space(static_cast<unsigned char>(text[first]))) first++;
    if (first == text.size()) return;
    std::string value;
    size_t used = 0;
    if (const keyword* k = find_keyword(scope::global, text, value, used)) {
      // A global keyword ends the record being read.
      close_records(st);
      k->apply(st, value);
      text.remove_prefix(used);
      continue;
    }
    std::optional<scope> record = open_record(st);
    const keyword* k = nullptr;
    if (first > 0 && record) k = find_keyword(*record, text.substr(first), value, used);
    if (k != nullptr) {
      k->apply(st, value);
      text.remove_prefix(first + used);
      continue;
    }
    config_log(st, LOG_WARNING, "unexpected: <%s>", safe_string(text.substr(first)));
    st.errors++;
    return;
  }
}

}  // namespace callvane
