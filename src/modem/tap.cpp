// Modem dialogue, TAP login, message transfer and logout.
#include "modem/tap.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/log.h"
#include "common/settings.h"
#include "common/text.h"
#include "modem/parts.h"
#include "modem/serial.h"

namespace callvane {

namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char ESC = 0x1B;
constexpr char RS = 0x1E;

constexpr int PROMPT_CYCLES = 10;
constexpr int LOGIN_SENDS = 7;
constexpr int BLOCK_SENDS = 5;

bool contains(const std::string& packet, const char* what) {
  return packet.find(what) != std::string::npos;
}
bool contains(const std::string& packet, char what) {
  return packet.find(what) != std::string::npos;
}

// A peer that keeps sending unrelated lines must not hold a wait for ever:
// besides the per-byte limit every wait ends after twice that time in all.
time_limit overall_limit(int seconds) { return deadline_after(std::chrono::seconds(2 * seconds)); }

void log_prompt_byte(int c) {
  if (debug == 1) {
    char ch = static_cast<char>(c);
    logmsg(LOG_DEBUG, "got byte: <%s>", safe_string(std::string_view(&ch, 1)));
  }
}

// The terminal went away during the login (NO CARRIER, or a network
// terminal closed its connection).
unsigned hung_up(const char* service_name) {
  logmsg(LOG_NOTICE, "unexpected hangup by %s", service_name);
  return F_NOCARRIER;
}

void send_login(int fd, const service& svc) {
  const char esc_pg1[] = {ESC, 'P', 'G', '1', '\0'};
  send_string(fd, esc_pg1);
  if (svc.password) send_string(fd, svc.password->c_str());
  send_string(fd, "\r");
}

std::string checksum_text(unsigned sum) {
  sum &= 0xFFF;
  std::string out(3, '0');
  out[0] = static_cast<char>(0x30 + ((sum >> 8) & 0xF));
  out[1] = static_cast<char>(0x30 + ((sum >> 4) & 0xF));
  out[2] = static_cast<char>(0x30 + (sum & 0xF));
  return out;
}

void write_block(int fd, const std::string& block) {
  if (debug >= 1) logmsg(LOG_DEBUG, "sending <%s>", safe_string(block));
  send_bytes(fd, block);
}

}  // namespace

std::string tap_checksum(const std::string& block) {
  int sum = 0;
  for (char c : block) sum += static_cast<signed char>(c);
  return checksum_text(static_cast<unsigned>(sum));
}

std::string tap_block(const std::string& pagerid, const std::string& text) {
  std::string block;
  block += STX;
  block += pagerid;
  block += '\r';
  block += text;
  block += '\r';
  block += ETX;
  block += tap_checksum(block);
  block += '\r';
  return block;
}

// A byte that breaks the match restarts it without being tested against the
// first character itself.
bool scan_for_prompt(int fd) {
  static const char prompt[] = "ID=";
  size_t matched = 0;
  // A cycle ends at a one-second silence; a peer that never pauses still
  // cannot stretch it past this.
  auto cycle_end = mono_clock::now() + std::chrono::seconds(3);
  while (mono_clock::now() < cycle_end) {
    int c = read_byte(fd, 1);
    if (c < 0) return false;
    log_prompt_byte(c);
    if (c == prompt[matched]) {
      if (++matched == 3) return true;
    } else {
      matched = 0;
    }
  }
  return false;
}

unsigned await_connect(int fd, const service& svc) {
  const char* name = svc.name.c_str();
  if (verbose()) logmsg(LOG_DEBUG, "waiting for connection");
  time_limit connect_limit = overall_limit(255);
  for (;;) {
    auto p = getpacket(fd, 255, connect_limit);
    if (!p) {
      logmsg(LOG_NOTICE, "timeout waiting for CONNECT, service=%s", name);
      return F_UNKNOWN;
    }
    if (contains(*p, "CONNECT")) {
      logmsg(LOG_INFO, "connected to remote, service=%s", name);
      return 0;
    }
    if (contains(*p, "BUSY")) {
      logmsg(LOG_INFO, "remote is busy, service=%s", name);
      return F_BUSY;
    }
    if (contains(*p, "NO DIALTONE")) {
      logmsg(LOG_NOTICE, "no answer from remote, service=%s", name);
      return F_NOMODEM;
    }
    if (contains(*p, "NO CARRIER")) {
      logmsg(LOG_NOTICE, "no answer from remote, service=%s", name);
      return F_NOCARRIER;
    }
    if (contains(*p, "OK")) {
      logmsg(LOG_NOTICE, "dial string failed, service=%s", name);
      return F_NOCARRIER;
    }
  }
}

unsigned tap_login(int fd, const service& svc) {
  const char* name = svc.name.c_str();
  if (verbose()) logmsg(LOG_DEBUG, "logging into %s", name);
  send_login(fd, svc);
  int resent = 0;
  time_limit login_limit = overall_limit(10);
  for (;;) {
    auto p = getpacket(fd, 10, login_limit);
    if (!p && line_closed(fd)) return hung_up(name);
    if (!p) {
      logmsg(LOG_NOTICE, "login failed (timeout waiting for ACK)");
      return F_UNKNOWN;
    }
    if (contains(*p, "NO CARRIER")) return hung_up(name);
    if (contains(*p, ACK)) {
      if (verbose()) logmsg(LOG_DEBUG, "login accepted");
      const char go_ahead[] = {ESC, '[', 'p', '\0'};
      if (expect(fd, go_ahead, 5)) {
        if (verbose()) logmsg(LOG_DEBUG, "%s says ok to proceed", name);
        return 0;
      }
      logmsg(LOG_NOTICE, "no go-ahead from %s", name);
      return F_UNKNOWN;
    }
    if (contains(*p, NAK)) {
      if (resent >= LOGIN_SENDS - 1) {
        logmsg(LOG_NOTICE, "too many login attempts for %s", name);
        return F_UNKNOWN;
      }
      if (verbose()) logmsg(LOG_DEBUG, "login requested again");
      send_login(fd, svc);
      resent++;
      login_limit = overall_limit(10);
    }
    const char eot[] = {ESC, EOT, '\0'};
    if (contains(*p, eot)) {
      logmsg(LOG_NOTICE, "forced disconnect from %s", name);
      return F_FORCED;
    }
  }
}

unsigned modem_connect(int fd, const service& svc, const modem* mdm) {
  const std::string initcmd = mdm ? mdm->initcmd : std::string("ATZ");
  const std::string prefix = svc.dialcmd ? *svc.dialcmd : mdm ? mdm->dialcmd : std::string("ATDT");
  const std::string phone = svc.phone.value_or("");
  const char* name = svc.name.c_str();

  if (verbose()) logmsg(LOG_DEBUG, "initializing modem with %s", initcmd.c_str());
  send_string(fd, "\r");
  pause_seconds(1);
  send_string(fd, (initcmd + "\r").c_str());
  if (!expect(fd, "OK", 5)) {
    logmsg(LOG_NOTICE, "cannot initialize modem");
    return F_NOMODEM;
  }

  pause_seconds(1);
  if (verbose())
    logmsg(LOG_DEBUG, "dialing service %s with %s%s", name, prefix.c_str(), phone.c_str());
  const std::string dial = prefix + phone;
  send_string(fd, (dial + "\r").c_str());
  if (!expect(fd, dial.c_str(), 2)) {
    logmsg(LOG_NOTICE, "cannot dial modem");
    return F_NOMODEM;
  }

  unsigned connected = await_connect(fd, svc);
  if (connected != 0) return connected;
  return terminal_login(fd, svc, true);
}

unsigned terminal_login(int fd, const service& svc, bool modem_pauses) {
  const char* name = svc.name.c_str();
  bool prompted = false;
  for (int cycle = 0; cycle < PROMPT_CYCLES && !prompted; cycle++) {
    if (modem_pauses) pause_seconds(1);
    send_string(fd, "\r");
    prompted = scan_for_prompt(fd);
    if (!prompted && line_closed(fd)) return hung_up(name);
  }
  if (!prompted) {
    logmsg(LOG_NOTICE, "no login prompt from %s", name);
    return F_NOPROMPT;
  }
  // Whatever else the terminal sent with its prompt is of no use; a
  // terminal that never pauses is cut off after two seconds.
  auto drain_end = mono_clock::now() + std::chrono::seconds(2);
  for (int c; mono_clock::now() < drain_end && (c = read_byte(fd, 0)) >= 0;) log_prompt_byte(c);

  return tap_login(fd, svc);
}

std::vector<std::string> tap_texts(const job& j, std::string* failure) {
  const service& svc = *j.service;
  const std::string pagerid = j.pager->pagerid.value_or("");
  const std::optional<std::string> prefix = sender_prefix(j);
  const int M = svc.maxmsgsize;
  const int L = static_cast<int>(pagerid.size());
  const int H = static_cast<int>(part_header_size(prefix));
  const int room = M - L - H;
  if (room <= 20) {
    if (failure) *failure = "maxmsgsize too small";
    return {};
  }
  // The longest text that keeps a block, final CR included, within M - 4.
  const size_t text_max = static_cast<size_t>(M - L - 12);
  return split_parts(j.page->message.value_or(""), prefix, room - 11, text_max, svc.maxpages);
}

int transfer(int fd, const job& j) {
  const service& svc = *j.service;
  const page& pg = *j.page;
  const std::string pagerid = j.pager->pagerid.value_or("");
  std::string sender = pg.from                       ? *pg.from
                       : (svc.identfrom && pg.ident) ? *pg.ident
                                                     : std::string("[anonymous]");
  const std::string id = pg.messageid.value_or("[none]");
  const char* to = j.rcpt->pager.c_str();
  int parts = 0;
  std::optional<std::string> reason;

  auto finish = [&](int result) {
    const char* why = reason ? safe_string(*reason) : "<NULL>";
    if (result == 0)
      logmsg(LOG_NOTICE, "page delivered, id=%s, from=%s, to=%s, parts=%d", id.c_str(),
             sender.c_str(), to, parts);
    else if (result == 1)
      logmsg(LOG_NOTICE, "page status unknown, id=%s, from=%s, to=%s, parts=%d : %s", id.c_str(),
             sender.c_str(), to, parts, why);
    else
      logmsg(LOG_NOTICE, "page failed, id=%s, from=%s, to=%s, parts=%d : %s", id.c_str(),
             sender.c_str(), to, parts, why);
    return result;
  };

  std::string too_small;
  std::vector<std::string> texts = tap_texts(j, &too_small);
  if (texts.empty()) {
    logmsg(LOG_ERR, "maxmsgsize too small");
    return finish(-1);
  }

  const char eot[] = {ESC, EOT, '\0'};
  for (const std::string& text : texts) {
    const std::string block = tap_block(pagerid, text);
    write_block(fd, block);
    parts++;
    reason.reset();
    int naks = 0;
    time_limit limit = overall_limit(15);
    for (bool accepted = false; !accepted;) {
      auto p = getpacket(fd, 15, limit);
      // A network terminal that closed its end is a hang-up, not a silence.
      if ((p && contains(*p, "NO CARRIER")) || (!p && line_closed(fd))) {
        logmsg(LOG_ERR, "unexpected hangup by remote");
        return finish(1);
      }
      if (!p) {
        if (verbose()) logmsg(LOG_DEBUG, "no valid response from %s", svc.name.c_str());
        return finish(-1);
      }
      if (contains(*p, ACK)) {
        if (verbose()) logmsg(LOG_DEBUG, "message accepted");
        accepted = true;
      } else if (contains(*p, NAK)) {
        if (verbose()) logmsg(LOG_DEBUG, "message requested again");
        if (++naks >= BLOCK_SENDS) {
          logmsg(LOG_ERR, "too many retries");
          return finish(-1);
        }
        write_block(fd, block);
        limit = overall_limit(15);
      } else if (contains(*p, RS)) {
        if (verbose()) logmsg(LOG_DEBUG, "message rejected");
        return finish(-1);
      } else if (contains(*p, eot)) {
        if (verbose()) logmsg(LOG_DEBUG, "message not accepted, disconnect now");
        return finish(1);
      } else {
        size_t start = 0;
        while (start < p->size() && is_space(static_cast<unsigned char>((*p)[start]))) start++;
        if (start < p->size()) reason = p->substr(start);
      }
    }
  }
  return finish(0);
}

void logout(int fd, const service& svc) {
  if (verbose()) logmsg(LOG_DEBUG, "logging out from %s", svc.name.c_str());
  const char bye[] = {EOT, '\r', '\0'};
  send_string(fd, bye);
  const char eot[] = {ESC, EOT, '\0'};
  time_limit limit = overall_limit(5);
  for (;;) {
    auto p = getpacket(fd, 5, limit);
    if (!p) break;
    if (contains(*p, RS)) logmsg(LOG_WARNING, "warning: %s sent <RS>", svc.name.c_str());
    if (contains(*p, eot)) break;
  }
}

}  // namespace callvane
