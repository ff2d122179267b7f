// The simulator as a GSM modem that sends SMS in text mode (3GPP TS 27.005).
#include "gsm.h"

#include <termios.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace callvane::tapsim {

namespace {

constexpr char ESC = 0x1B, CTRL_Z = 0x1A;
constexpr size_t SMS_SEPTETS = 160;
constexpr int PIN_TRIES = 3;
// Runaway input is cut off.
constexpr size_t LINE_MAX = 1024;

// The basic table's characters that differ from ASCII, as UTF-8, so that a
// text sent in the wrong alphabet shows in the record.
const char* basic_char(unsigned char code) {
  static const char* const low[32] = {"@", "£", "$",  "¥", "è", "é", "ù", "ì", "ò", "Ç", "\n",
                                      "Ø", "ø", "\r", "Å", "å", "Δ", "_", "Φ", "Γ", "Λ", "Ω",
                                      "Π", "Ψ", "Σ",  "Θ", "Ξ", "?", "Æ", "æ", "ß", "É"};
  switch (code) {
    case 0x24:
      return "¤";
    case 0x40:
      return "¡";
    case 0x5B:
      return "Ä";
    case 0x5C:
      return "Ö";
    case 0x5D:
      return "Ñ";
    case 0x5E:
      return "Ü";
    case 0x5F:
      return "§";
    case 0x60:
      return "¿";
    case 0x7B:
      return "ä";
    case 0x7C:
      return "ö";
    case 0x7D:
      return "ñ";
    case 0x7E:
      return "ü";
    case 0x7F:
      return "à";
    default:
      return code < 0x20 ? low[code] : nullptr;
  }
}

// The extension table's character for ESC and `code`, or 0.
char extension_char(unsigned char code) {
  static const struct {
    unsigned char code;
    char c;
  } table[] = {{0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
               {0x3C, '['}, {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}};
  for (const auto& e : table)
    if (e.code == code) return e.c;
  return 0;
}

std::string decode(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i++) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == ESC && i + 1 < bytes.size() && extension_char(bytes[i + 1])) {
      out += extension_char(static_cast<unsigned char>(bytes[++i]));
    } else if (const char* s = basic_char(c)) {
      out += s;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

class gsm_modem {
 public:
  gsm_modem(const options& o, line_end& tty) : opt_(o), tty_(tty) {
    if (!o.record.empty()) record_ = fopen(o.record.c_str(), "a");
    if (!o.tally.empty()) tally_ = fopen(o.tally.c_str(), "a");
  }
  ~gsm_modem() {
    if (record_) fclose(record_);
    if (tally_) fclose(tally_);
  }
  gsm_modem(const gsm_modem&) = delete;
  gsm_modem& operator=(const gsm_modem&) = delete;

  void run(const volatile sig_atomic_t& stop) {
    auto start = std::chrono::steady_clock::now();
    while (!stop) {
      if (opt_.lifetime > 0 &&
          std::chrono::steady_clock::now() - start > std::chrono::seconds(opt_.lifetime))
        break;
      speed_t speed = tty_.speed();
      if (speed == B0 && last_speed_ != B0) hang_up();
      last_speed_ = speed;
      if (!tty_.wait(20)) {
        if (!tty_.occupied()) tty_.idle();
        hang_up();
        last_speed_ = B0;
        continue;
      }
      for (int i = 0; i < 512 && !stop; i++) {
        int c = tty_.take();
        if (c < 0) break;
        take(static_cast<char>(c));
      }
    }
  }

 private:
  std::string get(const char* name, const char* dflt) const { return opt_.get(name, call_, dflt); }
  int num(const char* name, int dflt) const { return opt_.num(name, call_, dflt); }
  bool silent(const char* when) const { return get("silent", "none") == when; }

  // One record line: KIND, the call, and what else there is to say.
  void note(const char* kind, const std::string& rest = "") {
    if (!record_) return;
    fprintf(record_, "%s\t%d%s%s\n", kind, call_, rest.empty() ? "" : "\t", rest.c_str());
    fflush(record_);
  }

  void put(const std::string& s) {
    if (silent("all")) return;
    int delay = num("reply-delay", 0);
    if (delay > 0) tty_.pause(delay);
    if (opt_.verbose) fprintf(stderr, "gsmsim> %s\n", s.c_str());
    tty_.send(s);
  }
  void reply(const std::string& s) { put("\r\n" + s + "\r\n"); }
  void echo(char c) {
    tty_.send(std::string(1, c));
    echoed_++;
  }

  // A call ends: the modem is back in command mode with echo on; the SIM
  // keeps its state as long as the modem has power.
  void hang_up() {
    if (!in_call_) return;
    note("hangup");
    line_end::traffic t = tty_.take_traffic();
    if (tally_) {
      fprintf(tally_, "%d\t%ld\t%ld\t%ld\n", call_, t.from_caller, t.to_caller, echoed_);
      fflush(tally_);
    }
    echoed_ = 0;
    in_call_ = false;
    entry_ = false;
    echo_ = true;
    text_mode_ = false;
    line_.clear();
  }

  void take(char c) {
    if (!in_call_) {
      in_call_ = true;
      call_++;
      echo_ = get("echo", "yes") == "yes";
      creg_queries_ = 0;
      registered_ = false;
    }
    if (entry_) {
      entry_byte(c);
      return;
    }
    if (echo_ && !silent("all")) echo(c);
    if (c == '\n') return;
    if (c != '\r') {
      if (line_.size() < LINE_MAX) line_ += c;
      return;
    }
    // Whatever came before "AT" is no part of the command.
    std::string upper;
    for (char ch : line_) upper += static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    size_t at = upper.find("AT");
    std::string cmd = at == std::string::npos ? "" : line_.substr(at);
    line_.clear();
    if (!cmd.empty()) command(cmd, upper.substr(at));
  }

  void command(const std::string& cmd, const std::string& upper) {
    bool pin_given = upper.rfind("AT+CPIN=", 0) == 0;
    note("cmd", pin_given ? std::string("AT+CPIN=****") : cmd);
    if (upper == "ATE0" || upper == "ATE1") {
      echo_ = upper == "ATE1";
      reply("OK");
    } else if (upper == "AT+CPIN?") {
      ask_pin();
    } else if (pin_given) {
      give_pin(cmd.substr(8));
    } else if (upper == "AT+CREG?") {
      reply("+CREG: 0," + std::to_string(registration()));
      reply("OK");
    } else if (upper.rfind("AT+CMGF=", 0) == 0) {
      text_mode_ = upper == "AT+CMGF=1";
      reply("OK");
    } else if (upper.rfind("AT+CMGS=", 0) == 0) {
      send_to(cmd.substr(8));
    } else {
      reply("OK");
    }
  }

  bool sim_locked() const { return !opt_.get("sim-pin", 0, "").empty() && !unlocked_; }

  void ask_pin() {
    if (get("no-sim", "no") == "yes") return reply("+CME ERROR: 10");
    if (wrong_pins_ >= PIN_TRIES)
      reply("+CPIN: SIM PUK");
    else
      reply(sim_locked() ? "+CPIN: SIM PIN" : "+CPIN: READY");
    reply("OK");
  }

  void give_pin(const std::string& pin) {
    if (!sim_locked() || wrong_pins_ >= PIN_TRIES) return reply("+CME ERROR: 3");
    if (pin == opt_.get("sim-pin", 0, "")) {
      unlocked_ = true;
      note("pin", "ok");
      return reply("OK");
    }
    wrong_pins_++;
    note("pin", "wrong");
    reply("+CME ERROR: 16");
  }

  // +CREG <stat>: the scripted one until --creg-after queries, then home.
  int registration() {
    if (sim_locked() || get("no-sim", "no") == "yes") return 0;
    int after = num("creg-after", -1);
    int stat = after >= 0 && creg_queries_++ >= after ? 1 : num("creg", 1);
    registered_ = stat == 1 || stat == 5;
    return stat;
  }

  // AT+CMGS="NUMBER"[,TYPE]: the text entry prompt.
  void send_to(const std::string& arg) {
    if (sim_locked()) return reply("+CMS ERROR: 311");
    if (!text_mode_) return reply("+CMS ERROR: 304");
    if (!registered_) return reply("+CMS ERROR: 331");
    size_t open = arg.find('"'), close = arg.find('"', open + 1);
    if (open != 0 || close == std::string::npos) return reply("+CMS ERROR: 305");
    number_ = arg.substr(1, close - 1);
    text_.clear();
    entry_ = true;
    if (!silent("prompt")) put("\r\n> ");
  }

  // The text up to Ctrl-Z; ESC and a code of the extension table is one
  // character, ESC and anything else cancels the message.
  void entry_byte(char c) {
    if (escaped_) {
      escaped_ = false;
      if (!extension_char(static_cast<unsigned char>(c))) {
        entry_ = false;
        reply("OK");
        take(c);
        return;
      }
      text_ += ESC;
    } else if (c == ESC) {
      escaped_ = true;
      return;
    }
    if (c != CTRL_Z) {
      if (text_.size() < LINE_MAX) text_ += c;
      if (echo_ && !silent("all")) echo(c);
      return;
    }
    entry_ = false;
    deliver();
  }

  void deliver() {
    std::string text = decode(text_);
    auto refused = opt_.per_call.find("refuse");
    bool bad = refused != opt_.per_call.end() &&
               std::count(refused->second.begin(), refused->second.end(), number_) > 0;
    if (silent("send")) return;
    if (bad) return reply("+CMS ERROR: 1");
    if (std::string code = get("cms-error", ""); !code.empty()) return reply("+CMS ERROR: " + code);
    // One septet per byte: an ESC pair is two.
    if (text_.size() > SMS_SEPTETS) {
      note("toolong", number_ + "\t" + text);
      return reply("+CMS ERROR: 305");
    }
    note("sms", number_ + "\t" + text);
    reply("+CMGS: " + std::to_string(++reference_ % 256));
    reply("OK");
  }

  const options& opt_;
  line_end& tty_;
  FILE* record_ = nullptr;
  FILE* tally_ = nullptr;
  long echoed_ = 0;
  speed_t last_speed_ = B0;
  int call_ = 0;
  bool in_call_ = false;
  bool echo_ = true;
  bool text_mode_ = false;
  bool entry_ = false;
  bool escaped_ = false;
  bool unlocked_ = false;
  bool registered_ = false;
  int wrong_pins_ = 0;
  int creg_queries_ = 0;
  int reference_ = 0;
  std::string line_;
  std::string number_;
  std::string text_;
};

}  // namespace

void run_gsm(const options& opt, line_end& tty, const volatile sig_atomic_t& stop) {
  gsm_modem modem(opt, tty);
  modem.run(stop);
}

}  // namespace callvane::tapsim
