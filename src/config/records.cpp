// Parser log lines, and records opened by their keyword and checked when left.
#include "config/records.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/log.h"
#include "common/text.h"
#include "config/netdevice.h"

namespace callvane {

namespace {

// The device of a service that names none, so that its pages fail loudly.
const char FATAL_DEVICE[] = "FATAL_CONFIGURATION_ERROR";

// The message of a printf-style call, whatever its length.
std::string formatted(const char* format, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (n > 0) {
    text.resize(static_cast<size_t>(n));
    vsnprintf(text.data(), text.size() + 1, format, ap);
  }
  return text;
}

void log_at(const parse_state& st, int level, const std::string& message) {
  logmsg(level, "%s(%d): %s", st.file.c_str(), st.line, message.c_str());
}

// --- completion rules, run whenever the parser leaves a record -------------

void complete_modem(parse_state& st) {
  modem* m = st.cur_modem;
  if (m == nullptr || m->device) return;
  if (!m->name.empty() && m->name[0] == '/') {
    int err = 0;
    if (accessible(m->name, R_OK | W_OK, err)) {
      m->device = m->name;
      return;
    }
    config_error(st, "cannot access %s: %s", escaped(m->name).c_str(), strerror(err));
  } else {
    config_error(st, "no device for modem=%s", escaped(m->name).c_str());
  }
}

// True when every entry of a service's device list is a modem record that
// names a network terminal.
bool only_network_terminals(const std::string& list) {
  std::optional<std::string_view> state(list);
  std::string entry;
  bool any = false;
  while (next_token(state, ",", entry)) {
    const modem* m = lookup(modems, entry);
    if (m == nullptr || !m->device || !is_net_device(*m->device)) return false;
    any = true;
  }
  return any;
}

void complete_service(parse_state& st) {
  service* s = st.cur_service;
  if (s == nullptr) return;
  if (!s->device) {
    config_error(st, "no modem device for service=%s", escaped(s->name).c_str());
    s->device = FATAL_DEVICE;
    return;
  }
  // An obsolete service dial command may carry the number and dial raw
  // devices; network terminals and GSM modems are not dialled at all.
  if (s->dialcmd || s->protocol == delivery_protocol::sms || only_network_terminals(*s->device))
    return;
  if (!s->phone) config_error(st, "no phone number for service=%s", escaped(s->name).c_str());
  std::optional<std::string_view> state(*s->device);
  std::string entry;
  while (next_token(state, ",", entry)) {
    if (lookup(modems, entry) != nullptr) continue;
    std::string name = escaped(s->name);
    config_error(st, "no dial command for service=%s, device=%s", name.c_str(),
                 escaped(entry).c_str());
  }
}

void complete_pager(parse_state& st) {
  // The current pager is always the newest one, at the head of the list.
  pager* p = st.cur_pager;
  if (p == nullptr) return;
  if (!p->pagerid) {
    config_error(st, "no pagerid for pager=%s", escaped(p->name).c_str());
    drop_current_pager(st);
    return;
  }
  // An SMS goes to a phone number the network can route from anywhere.
  if (p->service != nullptr && p->service->protocol == delivery_protocol::sms &&
      !international_number(*p->pagerid)) {
    std::string name = escaped(p->name);
    config_error(st, "pagerid %s of pager=%s is no international phone number",
                 escaped(*p->pagerid).c_str(), name.c_str());
    drop_current_pager(st);
  }
}

void complete_group(parse_state& st) {
  pgroup* g = st.cur_group;
  if (g == nullptr || !g->members.empty()) return;
  config_error(st, "group %s has no members", escaped(g->name).c_str());
}

}  // namespace

void config_log(const parse_state& st, int level, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = formatted(format, ap);
  va_end(ap);
  log_at(st, level, message);
}

void config_error(parse_state& st, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string message = formatted(format, ap);
  va_end(ap);
  log_at(st, LOG_ERR, message);
  st.errors++;
}

std::string escaped(std::string_view s) { return safe_string(s); }

bool accessible(const std::string& path, int mode, int& err) {
  if (access(path.c_str(), mode) == 0) return true;
  err = errno;
  return false;
}

void create_default_service() {
  services.emplace_front();
  services.front().name = "default";
  defservice = &services.front();
}

void new_modem(parse_state& st, const std::string& name) {
  if (lookup(modems, name) != nullptr) {
    config_log(st, LOG_ERR, "duplicate modem %s", escaped(name).c_str());
    return;
  }
  modems.emplace_front();
  modems.front().name = name;
  st.cur_modem = &modems.front();
}

void select_service(parse_state& st, const std::string& name) {
  if (service* s = lookup(services, name)) {
    st.cur_service = s;
    return;
  }
  services.emplace_front();
  service& s = services.front();
  s.name = name;
  // Inherited once, at creation: later changes to the default stay there.
  if (defservice != nullptr) {
    const service& d = *defservice;
    s.device = d.device;
    s.dialcmd = d.dialcmd;
    s.phone = d.phone;
    s.password = d.password;
    s.baudrate = d.baudrate;
    s.parity = d.parity;
    s.maxmsgsize = d.maxmsgsize;
    s.maxpages = d.maxpages;
    s.maxtries = d.maxtries;
    s.identfrom = d.identfrom;
    s.allowpid = d.allowpid;
    s.msgprefix = d.msgprefix;
    s.protocol = d.protocol;
  }
  st.cur_service = &s;
}

void new_pager(parse_state& st, const std::string& name) {
  std::string n = escaped(name);
  if (lookup(groups, name) != nullptr) {
    config_log(st, LOG_ERR, "pager %s not allowed, group %s already defined", n.c_str(), n.c_str());
    return;
  }
  if (lookup(pagers, name) != nullptr) {
    config_log(st, LOG_ERR, "duplicate pager %s", n.c_str());
    return;
  }
  pagers.emplace_front();
  pagers.front().name = name;
  pagers.front().service = defservice;
  st.cur_pager = &pagers.front();
}

void new_group(parse_state& st, const std::string& name) {
  std::string n = escaped(name);
  if (lookup(pagers, name) != nullptr) {
    config_log(st, LOG_ERR, "group %s not allowed, pager %s already defined", n.c_str(), n.c_str());
    return;
  }
  if (lookup(groups, name) != nullptr) {
    config_log(st, LOG_ERR, "duplicate group %s", n.c_str());
    return;
  }
  groups.emplace_front();
  groups.front().name = name;
  st.cur_group = &groups.front();
}

void drop_current_pager(parse_state& st) {
  for (auto it = pagers.begin(); it != pagers.end(); ++it) {
    if (&*it == st.cur_pager) {
      pagers.erase(it);
      break;
    }
  }
  st.cur_pager = nullptr;
}

void close_records(parse_state& st) {
  complete_modem(st);
  complete_service(st);
  complete_pager(st);
  complete_group(st);
  st.cur_modem = nullptr;
  st.cur_service = nullptr;
  st.cur_pager = nullptr;
  st.cur_group = nullptr;
}

}  // namespace callvane
