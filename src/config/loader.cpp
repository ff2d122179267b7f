// Reading the configuration file into the records of config.h.
//
// The parser never stops at a problem: every fault is logged (most with the
// file name and line number in front), most are counted, and reading goes on, so
// one load shows every mistake at once.
#include "config/loader.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"
#include "config/groups.h"
#include "config/netdevice.h"

namespace callvane {

namespace {

// fgets() with a 1024-byte buffer: a longer line arrives in pieces.
constexpr size_t MAX_PIECE = 1023;
// Files nested deeper than this (counting the top one) are refused; real
// configurations need two or three levels at most.
constexpr size_t MAX_INCLUDE_DEPTH = 16;
// A configuration is a few kilobytes; reading stops here so that a device
// such as /dev/zero named by mistake cannot keep the loader busy for ever.
constexpr size_t MAX_FILE_BYTES = 16u << 20;
// The same for all files of one load together, so that many includes of such
// a device cannot multiply the bound.
constexpr size_t MAX_LOAD_BYTES = 32u << 20;

const char FATAL_DEVICE[] = "FATAL_CONFIGURATION_ERROR";

// Identity of every file being read right now, outermost first; an include
// of one of them would never end.
struct file_id {
  dev_t dev;
  ino_t ino;
};
std::vector<file_id> open_files;
// Bytes read by the load under way, over all its files.
size_t load_bytes = 0;

struct parse_state {
  std::string file;
  int line = 0;
  modem* cur_modem = nullptr;
  service* cur_service = nullptr;
  pager* cur_pager = nullptr;
  pgroup* cur_group = nullptr;
  int errors = 0;
};

// A value escaped for a log line; a copy because safe_string reuses its area.
std::string esc(std::string_view s) { return safe_string(s); }

const char* errtext(int e) { return strerror(e); }

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
    logmsg(LOG_ERR, "%s(%d): cannot access %s: %s", st.file.c_str(), st.line, esc(m->name).c_str(),
           errtext(err));
  } else {
    logmsg(LOG_ERR, "%s(%d): no device for modem=%s", st.file.c_str(), st.line,
           esc(m->name).c_str());
  }
  st.errors++;
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
    logmsg(LOG_ERR, "%s(%d): no modem device for service=%s", st.file.c_str(), st.line,
           esc(s->name).c_str());
    st.errors++;
    s->device = FATAL_DEVICE;
    return;
  }
  // An obsolete service dial command may carry the number and dial raw
  // devices; network terminals are not dialled at all.
  if (s->dialcmd || only_network_terminals(*s->device)) return;
  if (!s->phone) {
    logmsg(LOG_ERR, "%s(%d): no phone number for service=%s", st.file.c_str(), st.line,
           esc(s->name).c_str());
    st.errors++;
  }
  std::optional<std::string_view> state(*s->device);
  std::string entry;
  while (next_token(state, ",", entry)) {
    if (lookup(modems, entry) != nullptr) continue;
    std::string name = esc(s->name);
    logmsg(LOG_ERR, "%s(%d): no dial command for service=%s, device=%s", st.file.c_str(), st.line,
           name.c_str(), esc(entry).c_str());
    st.errors++;
  }
}

void remove_pager(pager* p) {
  for (auto it = pagers.begin(); it != pagers.end(); ++it) {
    if (&*it == p) {
      pagers.erase(it);
      return;
    }
  }
}

void complete_pager(parse_state& st) {
  // The current pager is always the newest one, at the head of the list.
  pager* p = st.cur_pager;
  if (p == nullptr || p->pagerid) return;
  logmsg(LOG_ERR, "%s(%d): no pagerid for pager=%s", st.file.c_str(), st.line,
         esc(p->name).c_str());
  st.errors++;
  remove_pager(p);
  st.cur_pager = nullptr;
}

void complete_group(parse_state& st) {
  pgroup* g = st.cur_group;
  if (g == nullptr || !g->members.empty()) return;
  logmsg(LOG_ERR, "%s(%d): group %s has no members", st.file.c_str(), st.line,
         esc(g->name).c_str());
  st.errors++;
}

void complete_all(parse_state& st) {
  complete_modem(st);
  complete_service(st);
  complete_pager(st);
  complete_group(st);
  st.cur_modem = nullptr;
  st.cur_service = nullptr;
  st.cur_pager = nullptr;
  st.cur_group = nullptr;
}

// --- keyword matching ------------------------------------------------------

// Matches "keyword=value" at the start of `text`; the value runs to the next
// white space and must not be empty. `used` gets the characters consumed.
bool match(std::string_view text, std::string_view keyword, std::string& value, size_t& used) {
  if (text.size() <= keyword.size() || text.substr(0, keyword.size()) != keyword ||
      text[keyword.size()] != '=')
    return false;
  size_t start = keyword.size() + 1;
  size_t end = start;
  while (end < text.size() && !is_space(static_cast<unsigned char>(text[end]))) end++;
  if (end == start) return false;
  value.assign(text.substr(start, end - start));
  used = end;
  return true;
}

int parse_file(const std::string& path, parse_state* includer);

// Takes `value` for the setting when the path allows `mode`, else one error.
void set_checked_path(parse_state& st, std::optional<std::string>& setting,
                      const std::string& value, int mode) {
  int err = 0;
  if (accessible(value, mode, err)) {
    setting = value;
    return;
  }
  logmsg(LOG_ERR, "%s(%d): cannot access %s: %s", st.file.c_str(), st.line, esc(value).c_str(),
         errtext(err));
  st.errors++;
}

void set_checked_dir(parse_state& st, std::optional<std::string>& setting,
                     const std::string& value) {
  set_checked_path(st, setting, value, R_OK | W_OK | X_OK);
}

void new_modem(parse_state& st, const std::string& name) {
  if (lookup(modems, name) != nullptr) {
    logmsg(LOG_ERR, "%s(%d): duplicate modem %s", st.file.c_str(), st.line, esc(name).c_str());
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
  }
  st.cur_service = &s;
}

void new_pager(parse_state& st, const std::string& name) {
  std::string n = esc(name);
  if (lookup(groups, name) != nullptr) {
    logmsg(LOG_ERR, "%s(%d): pager %s not allowed, group %s already defined", st.file.c_str(),
           st.line, n.c_str(), n.c_str());
    return;
  }
  if (lookup(pagers, name) != nullptr) {
    logmsg(LOG_ERR, "%s(%d): duplicate pager %s", st.file.c_str(), st.line, n.c_str());
    return;
  }
  pagers.emplace_front();
  pagers.front().name = name;
  pagers.front().service = defservice;
  st.cur_pager = &pagers.front();
}

void new_group(parse_state& st, const std::string& name) {
  std::string n = esc(name);
  if (lookup(pagers, name) != nullptr) {
    logmsg(LOG_ERR, "%s(%d): group %s not allowed, pager %s already defined", st.file.c_str(),
           st.line, n.c_str(), n.c_str());
    return;
  }
  if (lookup(groups, name) != nullptr) {
    logmsg(LOG_ERR, "%s(%d): duplicate group %s", st.file.c_str(), st.line, n.c_str());
    return;
  }
  groups.emplace_front();
  groups.front().name = name;
  st.cur_group = &groups.front();
}

// Top-level keywords, valid in column one only.
bool top_level(parse_state& st, std::string_view text, size_t& used) {
  static const char* const keywords[] = {
      "include",     "synchronous", "queuedir",      "lockdir",       "identtimeout",
      "snpptimeout", "pidfile",     "administrator", "forcehostname", "sigfile",
      "maxsessions", "modem",       "service",       "pager",         "group",
  };
  std::string value;
  std::string_view kw;
  for (const char* k : keywords) {
    if (match(text, k, value, used)) {
      kw = k;
      break;
    }
  }
  if (kw.empty()) return false;

  complete_all(st);

  if (kw == "include") {
    st.errors += parse_file(value, &st);
  } else if (kw == "synchronous") {
    if (is_off_word(value)) synchronous = 0;
  } else if (kw == "queuedir") {
    set_checked_dir(st, queuedir, value);
  } else if (kw == "lockdir") {
    set_checked_dir(st, lockdir, value);
  } else if (kw == "identtimeout") {
    int n = to_int(value);
    identtimeout = n <= 0 ? 0 : n;
  } else if (kw == "snpptimeout") {
    int n = to_int(value);
    snpptimeout = n < 2 ? 2 : n;
  } else if (kw == "maxsessions") {
    int n = to_int(value);
    maxsessions = n <= 0 ? 0 : n;
  } else if (kw == "pidfile") {
    pidfile = value;
  } else if (kw == "administrator") {
    administrator = value;
  } else if (kw == "forcehostname") {
    if (value[0] == '@')
      forcehostname = value;
    else if (is_on_word(value))
      forcehostname = "true";
  } else if (kw == "sigfile") {
    int err = 0;
    if (accessible(value, R_OK, err)) {
      sigfile = value;
    } else {
      logmsg(LOG_ERR, "%s(%d): cannot access %s: %s", st.file.c_str(), st.line, esc(value).c_str(),
             errtext(err));
      st.errors++;
    }
  } else if (kw == "modem") {
    new_modem(st, value);
  } else if (kw == "service") {
    select_service(st, value);
  } else if (kw == "pager") {
    new_pager(st, value);
  } else if (kw == "group") {
    new_group(st, value);
  }
  return true;
}

bool modem_keyword(parse_state& st, std::string_view text, size_t& used) {
  modem& m = *st.cur_modem;
  std::string value;
  if (match(text, "text", value, used)) {
    m.text = text_value(value);
  } else if (match(text, "device", value, used)) {
    std::string why;
    if (is_net_device(value)) {
      // A terminal on the network: its form is checked now, its reachability
      // at every call.
      if (parse_net_device(value, why)) {
        m.device = value;
      } else {
        logmsg(LOG_ERR, "%s(%d): bad network device %s: %s", st.file.c_str(), st.line,
               esc(value).c_str(), why.c_str());
        st.errors++;
      }
    } else {
      set_checked_path(st, m.device, value, R_OK | W_OK);
    }
  } else if (match(text, "cafile", value, used)) {
    set_checked_path(st, m.cafile, value, R_OK);
  } else if (match(text, "servername", value, used)) {
    m.servername = value;
  } else if (match(text, "initcmd", value, used)) {
    m.initcmd = value;
  } else if (match(text, "dialcmd", value, used)) {
    m.dialcmd = value;
  } else {
    return false;
  }
  return true;
}

void check_service_devices(parse_state& st, const std::string& list) {
  std::optional<std::string_view> state(list);
  std::string entry;
  while (next_token(state, ",", entry)) {
    if (lookup(modems, entry) != nullptr) continue;
    if (!entry.empty() && entry[0] == '/') {
      int err = 0;
      if (!accessible(entry, R_OK | W_OK, err))
        logmsg(LOG_WARNING, "%s(%d): cannot access %s: %s", st.file.c_str(), st.line,
               esc(entry).c_str(), errtext(err));
    } else {
      logmsg(LOG_WARNING, "%s(%d): undefined modem %s", st.file.c_str(), st.line,
             esc(entry).c_str());
    }
  }
}

bool service_keyword(parse_state& st, std::string_view text, size_t& used) {
  service& s = *st.cur_service;
  std::string value;
  if (match(text, "text", value, used)) {
    s.text = text_value(value);
  } else if (match(text, "device", value, used)) {
    check_service_devices(st, value);
    s.device = value;
  } else if (match(text, "dialcmd", value, used)) {
    s.dialcmd = value;
    logmsg(LOG_WARNING, "%s(%d): warning: obsolete keyword \"dialcmd\"", st.file.c_str(), st.line);
  } else if (match(text, "phone", value, used)) {
    s.phone = value;
  } else if (match(text, "password", value, used)) {
    s.password = value;
  } else if (match(text, "baudrate", value, used)) {
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
        s.baudrate = static_cast<unsigned>(n);
        break;
      default:
        logmsg(LOG_WARNING, "unrecognized baud rate %s", esc(value).c_str());
        s.baudrate = 300;
    }
  } else if (match(text, "parity", value, used)) {
    if (is_word(value, {"even"}))
      s.parity = PARITY_EVEN;
    else if (is_word(value, {"odd"}))
      s.parity = PARITY_ODD;
    else if (is_word(value, {"none"}))
      s.parity = PARITY_NONE;
    else
      logmsg(LOG_WARNING, "unrecognized parity %s", esc(value).c_str());
  } else if (match(text, "maxmsgsize", value, used)) {
    int n = to_int(value);
    s.maxmsgsize = n >= 250 ? 250 : n;
  } else if (match(text, "maxpages", value, used)) {
    int n = to_int(value);
    s.maxpages = n < 2 ? 1 : n >= 9 ? 9 : n;
  } else if (match(text, "maxtries", value, used)) {
    s.maxtries = to_int(value);
  } else if (match(text, "identfrom", value, used)) {
    if (is_off_word(value)) s.identfrom = 0;
  } else if (match(text, "allowpid", value, used)) {
    if (is_on_word(value)) s.allowpid = 1;
  } else if (match(text, "msgprefix", value, used)) {
    if (is_off_word(value)) s.msgprefix = 0;
  } else {
    return false;
  }
  return true;
}

bool pager_keyword(parse_state& st, std::string_view text, size_t& used) {
  pager& p = *st.cur_pager;
  std::string value;
  if (match(text, "text", value, used)) {
    p.text = text_value(value);
  } else if (match(text, "pagerid", value, used)) {
    p.pagerid = value;
  } else if (match(text, "service", value, used)) {
    if (service* s = lookup(services, value)) {
      p.service = s;
    } else {
      std::string name = esc(p.name);
      logmsg(LOG_ERR, "no service %s for pager=%s", esc(value).c_str(), name.c_str());
      st.errors++;
      // The pager is dropped at once; its remaining lines have no record.
      remove_pager(&p);
      st.cur_pager = nullptr;
    }
  } else {
    return false;
  }
  return true;
}

bool group_keyword(parse_state& st, std::string_view text, size_t& used) {
  pgroup& g = *st.cur_group;
  std::string value;
  if (match(text, "text", value, used)) {
    g.text = text_value(value);
  } else if (match(text, "member", value, used)) {
    std::string name = value;
    std::optional<std::string> schedule;
    if (size_t slash = value.find('/'); slash != std::string::npos) {
      name = value.substr(0, slash);
      schedule = value.substr(slash + 1);
    }
    if (schedule && !valid_schedule(*schedule)) {
      logmsg(LOG_ERR, "invalid schedule: %s", esc(*schedule).c_str());
      return true;
    }
    pager* p = lookup(pagers, name);
    if (p == nullptr) {
      std::string gname = esc(g.name);
      logmsg(LOG_ERR, "no such pager %s for group=%s", esc(name).c_str(), gname.c_str());
      return true;
    }
    g.members.push_front(member{p, schedule});
  } else {
    return false;
  }
  return true;
}

bool sub_keyword(parse_state& st, std::string_view text, size_t& used) {
  if (st.cur_modem) return modem_keyword(st, text, used);
  if (st.cur_service) return service_keyword(st, text, used);
  if (st.cur_pager) return pager_keyword(st, text, used);
  if (st.cur_group) return group_keyword(st, text, used);
  return false;
}

void parse_line(parse_state& st, std::string_view text) {
  while (true) {
    size_t first = 0;
    while (first < text.size() && is_space(static_cast<unsigned char>(text[first]))) first++;
    if (first == text.size()) return;
    size_t used = 0;
    if (top_level(st, text, used)) {
      text.remove_prefix(used);
      continue;
    }
    if (first > 0 && sub_keyword(st, text.substr(first), used)) {
      text.remove_prefix(first + used);
      continue;
    }
    logmsg(LOG_WARNING, "%s(%d): unexpected: <%s>", st.file.c_str(), st.line,
           safe_string(text.substr(first)));
    st.errors++;
    return;
  }
}

struct file_closer {
  void operator()(FILE* f) const { fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Opens a configuration file for reading. Directories are refused (reading
// one would look like an empty file), and so is anything that is neither a
// regular file nor a character device (a FIFO could block for ever).
file_ptr open_config(const std::string& path, struct stat& st, int& err) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    err = errno;
    return nullptr;
  }
  if (fstat(fd, &st) != 0) {
    err = errno;
    close(fd);
    return nullptr;
  }
  if (S_ISDIR(st.st_mode) || (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode))) {
    err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    return nullptr;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* f = fdopen(fd, "r");
  if (f == nullptr) {
    err = errno;
    close(fd);
    return nullptr;
  }
  return file_ptr(f);
}

// Reads the next line piece as fgets() with a 1024-byte buffer would: at
// most 1023 bytes, ending after a newline. False at the end of the file.
bool read_piece(FILE* f, std::string& piece, size_t& total) {
  piece.clear();
  while (piece.size() < MAX_PIECE && total < MAX_FILE_BYTES && load_bytes < MAX_LOAD_BYTES) {
    int c = getc(f);
    if (c == EOF) break;
    total++;
    load_bytes++;
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece.empty();
}

int parse_file(const std::string& path, parse_state* includer) {
  if (services.empty()) create_default_service();
  if (!queuedir) queuedir = DEFAULT_QUEUEDIR;

  struct stat info {};
  int err = 0;
  file_ptr f = open_config(path, info, err);
  if (!f) {
    logmsg(LOG_ERR, "cannot open %s: %s", esc(path).c_str(), errtext(err));
    return includer ? 1 : -1;
  }
  if (includer) {
    for (const file_id& id : open_files) {
      if (id.dev == info.st_dev && id.ino == info.st_ino) {
        logmsg(LOG_ERR, "%s(%d): include of %s refused: that file is already being read",
               includer->file.c_str(), includer->line, esc(path).c_str());
        return 1;
      }
    }
    if (open_files.size() >= MAX_INCLUDE_DEPTH) {
      logmsg(LOG_ERR, "%s(%d): include of %s refused: more than %zu files nested",
             includer->file.c_str(), includer->line, esc(path).c_str(), MAX_INCLUDE_DEPTH);
      return 1;
    }
  }

  // The stack of open files is unwound however this function is left.
  open_files.push_back({info.st_dev, info.st_ino});
  struct pop_guard {
    ~pop_guard() { open_files.pop_back(); }
  } guard;

  parse_state st;
  st.file = path;
  std::string piece;
  size_t total = 0;
  while (read_piece(f.get(), piece, total)) {
    st.line++;
    // Text behind a NUL byte is invisible, as it would be to a C string.
    if (size_t nul = piece.find('\0'); nul != std::string::npos) piece.resize(nul);
    if (size_t hash = piece.find('#'); hash != std::string::npos) piece.resize(hash);
    if (!piece.empty() && piece.back() == '\n') piece.pop_back();
    parse_line(st, piece);
  }
  if (ferror(f.get())) {
    logmsg(LOG_ERR, "%s(%d): read error: %s", st.file.c_str(), st.line, errtext(errno));
    st.errors++;
  } else if (total >= MAX_FILE_BYTES && getc(f.get()) != EOF) {
    logmsg(LOG_ERR, "%s(%d): file longer than %zu bytes, rest ignored", st.file.c_str(), st.line,
           MAX_FILE_BYTES);
    st.errors++;
  } else if (load_bytes >= MAX_LOAD_BYTES && getc(f.get()) != EOF) {
    logmsg(LOG_ERR, "%s(%d): configuration longer than %zu bytes in all, rest ignored",
           st.file.c_str(), st.line, MAX_LOAD_BYTES);
    st.errors++;
  }
  complete_all(st);
  return st.errors;
}

}  // namespace

int parse_config(const std::string& path) {
  // A nested call from inside an include is handled by parse_file itself.
  load_bytes = 0;
  return parse_file(path, nullptr);
}

void clear_config() {
  free_modems(modems);
  free_services(services);
  free_pagers(pagers);
  free_groups(groups);
  defservice = nullptr;
  administrator.reset();
  forcehostname.reset();
  queuedir.reset();
  lockdir = DEFAULT_LOCKDIR;
  identtimeout = 10;
  snpptimeout = 60;
  maxsessions = DEFAULT_MAXSESSIONS;
}

int read_config(const std::string& path) {
  clear_config();
  int count = parse_config(path);
  // A configuration file that cannot be read is one error: the load must
  // fail however the directory checks below come out.
  if (count < 0) count = 1;

  int err = 0;
  if (!accessible(*lockdir, R_OK | W_OK | X_OK, err)) {
    logmsg(LOG_ERR, "cannot access LockDir(%s): %s", esc(*lockdir).c_str(), errtext(err));
    count++;
  }
  if (!queuedir) {
    logmsg(LOG_ERR, "no queue directory specified!");
    return count + 1;
  }
  return count;
}

}  // namespace callvane
