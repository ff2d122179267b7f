// The GSM modem dialogue of text-mode SMS (3GPP TS 27.005): bring-up and answers.
#include "modem/gsm.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "common/fileio.h"
#include "common/log.h"
#include "common/page.h"
#include "common/settings.h"
#include "common/text.h"
#include "modem/serial.h"

namespace callvane {

namespace {

constexpr int ANSWER_SECONDS = 5;
// The SIM may take a while to check a PIN.
constexpr int PIN_SECONDS = 10;
// Registration is asked for every half second, within a minute; a modem
// that says it is not even searching gets a second and a half.
constexpr int CREG_POLL_MS = 500;
constexpr int REGISTRATION_SECONDS = 60;
constexpr int NOT_SEARCHING_POLLS = 3;
// A modem's answer holds few information lines; more is noise.
constexpr size_t INFO_LINES_MAX = 16;

// An unfinished message left by an earlier call is cancelled by ESC; in
// command mode the modem skips it with everything else before "AT".
constexpr char CANCEL_ENTRY[] = "\x1b";
constexpr int CANCEL_MS = 200;
constexpr char ECHO_OFF[] = "ATE0";
constexpr char ASK_PIN[] = "AT+CPIN?";
constexpr char GIVE_PIN[] = "AT+CPIN=";
constexpr char ASK_REGISTRATION[] = "AT+CREG?";
constexpr char TEXT_MODE[] = "AT+CMGF=1";
constexpr char GSM_ALPHABET[] = "AT+CSCS=\"GSM\"";

// +CPIN answers and +CME ERROR codes (3GPP TS 27.007, 9.2.1).
constexpr char PIN_READY[] = "+CPIN: READY";
constexpr char PIN_WANTED[] = "+CPIN: SIM PIN";
constexpr char CPIN_PREFIX[] = "+CPIN: ";
constexpr char CME_SIM_NOT_INSERTED[] = "+CME ERROR: 10";
// +CREG <stat>: 0 not searching, 1 home, 2 searching, 3 denied, 5 roaming.
constexpr char CREG_PREFIX[] = "+CREG: ";
enum registration { not_searching = 0, home = 1, searching = 2, denied = 3, roaming = 5 };

constexpr char CMS_PREFIX[] = "+CMS ERROR: ";
constexpr char CME_PREFIX[] = "+CME ERROR: ";
// "+CMS ERROR" codes below 128 are the network's RP-cause (3GPP TS 24.011,
// E.2). Only these say the number cannot be reached at all: 1 unassigned
// (unallocated) number, 21 short message transfer rejected (by the
// destination). Others that may look alike (28 unidentified and 30 unknown
// subscriber) can just as well describe the sending SIM, and refusing every
// recipient for good over it would lose pages: they are tried again.
constexpr int BAD_NUMBER_CODES[] = {1, 21};

// The refusals known to this process: marks of device and PIN.
std::set<std::string> refused_pins;

// Names a device and the PIN given to its SIM without holding the PIN:
// FNV-1a over both, in hex.
std::string pin_mark(const std::string& device, const std::string& pin) {
  uint64_t h = 14695981039346656037ull;
  for (char c : device + '\0' + pin) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  char text[17];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

// A refusal outlives the run that met it, in the spool: every run is a
// process of its own, and three runs with a wrong PIN would lock the SIM.
std::string refusal_file(const std::string& device) {
  if (!queuedir) return {};
  return *queuedir + "/.pin-refused." + device.substr(device.rfind('/') + 1);
}

void remember_refusal(const std::string& device, const std::string& mark) {
  refused_pins.insert(mark);
  std::string path = refusal_file(device);
  if (path.empty()) return;
  std::string temporary = path + ".new";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0 && write_all(fd, mark + "\n") && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (ok && rename(temporary.c_str(), path.c_str()) == 0) return;
  logmsg(LOG_WARNING, "cannot record the refused PIN in %s: %s", path.c_str(), strerror(errno));
  unlink(temporary.c_str());
}

void forget_refusal(const std::string& device) {
  std::string path = refusal_file(device);
  if (!path.empty()) unlink(path.c_str());
}

bool starts_with(const std::string& s, std::string_view head) {
  return s.compare(0, head.size(), head) == 0;
}

void pause_ms(int ms) {
  timespec left{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Drops what the modem has said so far, within a bound for one that never
// stops talking.
void discard_input(int fd) {
  auto until = mono_clock::now() + std::chrono::seconds(1);
  while (mono_clock::now() < until && read_byte(fd, 0) >= 0) {
  }
  reset_packet_buffer();
}

// Keeps the modem's words out of the trace while the PIN is on the line: a
// modem that echoes in spite of ATE0 would give it back.
class untraced {
 public:
  untraced() : saved_(debug) { debug = 0; }
  ~untraced() { debug = saved_; }
  untraced(const untraced&) = delete;
  untraced& operator=(const untraced&) = delete;

 private:
  int saved_;
};

// The information line that starts with `head`, if the answer has one.
const std::string* info_line(const at_answer& a, std::string_view head) {
  for (const std::string& line : a.info)
    if (starts_with(line, head)) return &line;
  return nullptr;
}

// Logs why a command of the bring-up came to nothing; the flag to return.
unsigned command_failed(const at_answer& a, const char* command, const service& svc) {
  if (a.what == at_answer::timeout)
    logmsg(LOG_NOTICE, "timeout waiting for answer to %s, service=%s", command, svc.name.c_str());
  else
    logmsg(LOG_NOTICE, "%s failed: %s, service=%s", command, safe_string(a.final),
           svc.name.c_str());
  return F_UNKNOWN;
}

// The SIM ready for use, with its PIN given if it asks for one: 0, or the
// flag. A PIN is sent at most once per device and process.
unsigned unlock_sim(int fd, const service& svc, const modem* mdm, const std::string& device) {
  at_answer a = at_command(fd, ASK_PIN, ANSWER_SECONDS);
  if (a.what == at_answer::error && a.final == CME_SIM_NOT_INSERTED) {
    logmsg(LOG_NOTICE, "no SIM in %s, service=%s", device.c_str(), svc.name.c_str());
    return F_UNKNOWN;
  }
  if (a.what != at_answer::ok) return command_failed(a, ASK_PIN, svc);
  if (info_line(a, PIN_READY)) return 0;
  const std::string* state = info_line(a, CPIN_PREFIX);
  if (state == nullptr || *state != PIN_WANTED) {
    std::string what = state ? state->substr(strlen(CPIN_PREFIX)) : std::string("no state");
    logmsg(LOG_NOTICE, "SIM in %s is locked (%s), service=%s", device.c_str(), safe_string(what),
           svc.name.c_str());
    return F_UNKNOWN;
  }
  if (mdm == nullptr || !mdm->pin) {
    logmsg(LOG_ERR, "SIM in %s needs a PIN and none is set, service=%s", device.c_str(),
           svc.name.c_str());
    return F_REJECT;
  }
  if (debug >= 1) logmsg(LOG_DEBUG, "sending <%s****>", GIVE_PIN);
  {
    untraced quiet;
    send_bytes(fd, std::string(GIVE_PIN) + *mdm->pin + "\r");
    a = read_answer(fd, PIN_SECONDS);
  }
  if (a.what == at_answer::ok) {
    if (verbose()) logmsg(LOG_DEBUG, "PIN accepted");
    forget_refusal(device);
    return 0;
  }
  // A time-out may have cost the SIM a try just as well: never again.
  remember_refusal(device, pin_mark(device, *mdm->pin));
  logmsg(LOG_ERR, "SIM in %s refused the PIN (%s); not tried again, service=%s", device.c_str(),
         a.what == at_answer::timeout ? "no answer" : safe_string(a.final), svc.name.c_str());
  return F_REJECT;
}

// Polls until the modem is registered with a network: 0, or the flag.
unsigned await_registration(int fd, const service& svc) {
  const char* name = svc.name.c_str();
  auto until = mono_clock::now() + std::chrono::seconds(REGISTRATION_SECONDS);
  int idle_polls = 0;
  for (;;) {
    at_answer a = at_command(fd, ASK_REGISTRATION, ANSWER_SECONDS);
    if (a.what == at_answer::timeout) return command_failed(a, ASK_REGISTRATION, svc);
    const std::string* line = info_line(a, CREG_PREFIX);
    size_t comma = line ? line->find(',') : std::string::npos;
    // Until the SIM is ready some modems answer ERROR: asked again.
    int stat = comma == std::string::npos ? -1 : atoi(line->c_str() + comma + 1);
    if (stat == home || stat == roaming) {
      logmsg(LOG_INFO, "registered with %s network, service=%s", stat == home ? "home" : "roaming",
             name);
      return 0;
    }
    if (stat == denied) {
      logmsg(LOG_NOTICE, "network registration denied, service=%s", name);
      return F_NOCARRIER;
    }
    if (stat == not_searching) idle_polls++;
    if (idle_polls >= NOT_SEARCHING_POLLS || mono_clock::now() >= until) {
      logmsg(LOG_NOTICE, "not registered with a network, service=%s", name);
      return F_NOCARRIER;
    }
    pause_ms(CREG_POLL_MS);
  }
}

}  // namespace

at_answer read_answer(int fd, int seconds) {
  at_answer a;
  time_limit overall = deadline_after(std::chrono::seconds(2 * seconds));
  for (;;) {
    std::optional<std::string> p = getpacket(fd, seconds, overall);
    if (!p) return a;
    if (p->empty()) continue;
    if (*p == "OK" || *p == "ERROR" || starts_with(*p, CMS_PREFIX) || starts_with(*p, CME_PREFIX)) {
      a.what = *p == "OK" ? at_answer::ok : at_answer::error;
      a.final = *p;
      return a;
    }
    if (a.info.size() < INFO_LINES_MAX) a.info.push_back(*p);
  }
}

at_answer at_command(int fd, std::string_view command, int seconds) {
  send_string(fd, (std::string(command) + "\r").c_str());
  return read_answer(fd, seconds);
}

int cms_code(const std::string& final) {
  if (!starts_with(final, CMS_PREFIX)) return -1;
  const char* digits = final.c_str() + strlen(CMS_PREFIX);
  return is_digit(static_cast<unsigned char>(*digits)) ? atoi(digits) : -1;
}

bool number_refused(int code) {
  for (int c : BAD_NUMBER_CODES)
    if (c == code) return true;
  return false;
}

unsigned gsm_bring_up(int fd, const service& svc, const modem* mdm, const std::string& device) {
  const std::string initcmd = mdm ? mdm->initcmd : std::string("ATZ");
  if (verbose()) logmsg(LOG_DEBUG, "initializing modem with %s", initcmd.c_str());
  send_string(fd, CANCEL_ENTRY);
  pause_ms(CANCEL_MS);
  discard_input(fd);
  if (at_command(fd, initcmd, ANSWER_SECONDS).what != at_answer::ok ||
      at_command(fd, ECHO_OFF, ANSWER_SECONDS).what != at_answer::ok) {
    logmsg(LOG_NOTICE, "cannot initialize modem");
    return F_NOMODEM;
  }
  if (unsigned flag = unlock_sim(fd, svc, mdm, device)) return flag;
  if (unsigned flag = await_registration(fd, svc)) return flag;
  for (const char* command : {TEXT_MODE, GSM_ALPHABET}) {
    at_answer a = at_command(fd, command, ANSWER_SECONDS);
    if (a.what != at_answer::ok) return command_failed(a, command, svc);
  }
  return 0;
}

bool pin_refused(const std::string& device, const std::optional<std::string>& pin) {
  if (!pin) return false;
  std::string mark = pin_mark(device, *pin);
  if (refused_pins.count(mark) != 0) return true;
  std::string path = refusal_file(device);
  if (path.empty()) return false;
  std::string held;
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[64];
  ssize_t n = read(fd, buf, sizeof buf);
  close(fd);
  if (n > 0) held.assign(buf, static_cast<size_t>(n));
  return held == mark + "\n";
}

void forget_refused_pins() { refused_pins.clear(); }

}  // namespace callvane
