// tapsim: a Hayes modem with a TAP paging terminal behind it, on a
// pseudo-terminal. The gateway dials it like real hardware; every fault the
// gateway has to survive can be scripted per call, and what the terminal
// accepted is recorded for whoever wants to check it.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "gsm.h"
#include "line.h"
#include "netline.h"
#include "options.h"

namespace {

using callvane::tapsim::line;
using callvane::tapsim::line_end;
using callvane::tapsim::net_end;
using callvane::tapsim::options;
using callvane::tapsim::usage_error;

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ACK = 0x06, NAK = 0x15, ESC = 0x1B, RS = 0x1E;

volatile sig_atomic_t stop = 0;
void on_signal(int) { stop = 1; }

enum class state { command, wait_prompt, messages, chatter, dead };

class simulator {
 public:
  simulator(const options& o, line_end& tty) : opt_(o), tty_(tty) {
    if (!o.record.empty()) record_ = fopen(o.record.c_str(), "a");
    if (!o.tally.empty()) tally_ = fopen(o.tally.c_str(), "a");
  }
  ~simulator() {
    if (record_) fclose(record_);
    if (tally_) fclose(tally_);
  }

  void run() {
    auto start = std::chrono::steady_clock::now();
    while (!stop) {
      if (opt_.lifetime > 0 &&
          std::chrono::steady_clock::now() - start > std::chrono::seconds(opt_.lifetime))
        break;
      speed_t speed = tty_.speed();
      if (speed == B0 && last_speed_ != B0) {
        // What the caller wrote before dropping DTR still belongs to the call.
        for (char c : tty_.drain()) take(c);
        hang_up();
      }
      last_speed_ = speed;
      if (st_ == state::chatter) talk();
      if (!tty_.wait(st_ == state::chatter ? 10 : 20)) {
        caller_gone();
        continue;
      }
      if (tty_.answered()) network_call();
      // A bounded bite, so that DTR and the clock are looked at between bites.
      for (int i = 0; i < 512 && !stop; i++) {
        int c = tty_.take();
        if (c < 0) break;
        take(static_cast<char>(c));
      }
    }
  }

 private:
  // The caller closed the device, or died, without dropping DTR: as on a
  // serial port that drops DTR on the last close, the call is over.
  void caller_gone() {
    // When the next caller is already on the line, what is there is its own.
    bool next = tty_.occupied();
    std::string rest = next ? "" : tty_.drain();
    // Idle at once: the next caller may be about to set the line up.
    if (!next) tty_.idle();
    for (char c : rest) take(c);
    if (last_speed_ != B0 || st_ != state::command || !line_.empty()) hang_up();
    last_speed_ = B0;
  }

  // Before a dial the settings of the call about to be made apply.
  int idx() const { return st_ == state::command && !in_dial_ ? call_ + 1 : call_; }
  std::string get(const char* name, const char* dflt) const { return opt_.get(name, idx(), dflt); }
  int num(const char* name, int dflt) const { return opt_.num(name, idx(), dflt); }

  void note(const std::string& what) {
    if (!record_) return;
    fprintf(record_, "%s\n", what.c_str());
    fflush(record_);
  }

  void count_call() {
    line::traffic t = tty_.take_traffic();
    if (tally_) {
      fprintf(tally_, "%d\t%ld\t%ld\t%ld\n", call_, t.from_caller, t.to_caller, echoed_);
      fflush(tally_);
    }
    echoed_ = 0;
  }

  static std::string visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
      } else {
        char b[8];
        snprintf(b, sizeof b, "\\%03o", c);
        out += b;
      }
    }
    return out;
  }

  void put(const std::string& s) {
    if (opt_.verbose) fprintf(stderr, "tapsim> %s\n", visible(s).c_str());
    tty_.send(s);
  }

  static std::string noise(size_t n) {
    // Bytes that stay harmless after the caller strips the high bit.
    static const char* const letters = "abcdefghijklmnopqrstuvwxyz";
    std::string s;
    for (size_t i = 0; i < n; i++) {
      switch (i % 5) {
        case 0:
          s += '\0';
          break;
        case 1:
          s += static_cast<char>(0x80);
          break;
        case 2:
          s += static_cast<char>(0xE1 + static_cast<int>(i % 26));
          break;
        default:
          s += letters[i % 26];
          break;
      }
    }
    return s;
  }

  // Every answer goes through here: delay, garbage line, then the answer.
  void answer(const std::string& s) {
    int delay = num("reply-delay", 0);
    if (delay > 0) tty_.pause(delay);
    int garbage = num("garbage", 0);
    if (garbage > 0) put(noise(static_cast<size_t>(garbage)) + "\r");
    put(s);
  }

  void talk() {
    std::string s = noise(61);
    s += (++chatter_count_ % 4 == 0) ? "\r\n" : "";
    put(s);
  }

  void hang_up() {
    if (st_ != state::command || !line_.empty()) {
      if (opt_.verbose) fprintf(stderr, "tapsim: hang-up\n");
    }
    note("hangup\t" + std::to_string(call_));
    count_call();
    st_ = state::command;
    line_.clear();
    plus_ = 0;
    in_block_ = false;
    logout_pending_ = false;
  }

  void take(char c) {
    if (opt_.verbose) fprintf(stderr, "tapsim< %s\n", visible(std::string(1, c)).c_str());
    switch (st_) {
      case state::command:
        command_byte(c);
        break;
      case state::wait_prompt:
        prompt_byte(c);
        break;
      case state::messages:
        message_byte(c);
        break;
      case state::dead:
        dead_byte(c);
        break;
      case state::chatter:
        break;
    }
  }

  // After a disconnect the terminal answers nothing, but a login sent
  // regardless is still recorded.
  void dead_byte(char c) {
    if (c != '\r') {
      line_ += c;
      return;
    }
    size_t at = line_.find(std::string{ESC, 'P', 'G', '1'});
    if (at != std::string::npos)
      note("login\t" + std::to_string(call_) + "\t" + visible(line_.substr(at + 4)));
    line_.clear();
  }

  void command_byte(char c) {
    if (get("chatter", "none") == "init") {
      // From the first byte on, the modem never stops talking.
      st_ = state::chatter;
      return;
    }
    if (get("echo", "yes") == "yes") {
      put(std::string(1, c));
      echoed_++;
    }
    if (c == '\n') return;
    if (c != '\r') {
      line_ += c;
      return;
    }
    std::string cmd = line_;
    line_.clear();
    while (!cmd.empty() && (cmd.back() == ' ')) cmd.pop_back();
    if (cmd.size() < 2 || toupper(cmd[0]) != 'A' || toupper(cmd[1]) != 'T') return;
    std::string upper;
    for (char ch : cmd) upper += static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    size_t d = upper.find('D', 2);
    if (d != std::string::npos) {
      dial(cmd.substr(d + 1));
      return;
    }
    std::string reply = get("init-reply", "OK");
    if (reply != "none") answer("\r\n" + reply + "\r\n");
  }

  void dial(std::string number) {
    call_++;
    in_dial_ = true;
    // The dial modifiers (T, P) are not part of the number.
    if (!number.empty() && (toupper(number[0]) == 'T' || toupper(number[0]) == 'P'))
      number.erase(0, 1);
    note("dial\t" + std::to_string(call_) + "\t" + number);
    std::string result = get("dial-result", "CONNECT");
    if (result != "none") answer("\r\n" + result + "\r\n");
    if (result.rfind("CONNECT", 0) == 0) connected();
    in_dial_ = false;
  }

  // The call is up: the terminal waits for CRs before its prompt.
  void connected() {
    st_ = get("chatter", "none") == "prompt" ? state::chatter : state::wait_prompt;
    crs_ = 0;
    logins_ = 0;
    block_no_ = 0;
    sends_ = 0;
    block_.clear();
    in_block_ = false;
  }

  // The terminal drops the call without a word: a network terminal closes
  // its connection.
  void close_call() {
    tty_.idle();
    hang_up();
    last_speed_ = B0;
  }

  // A caller that reached the terminal over the network: connected at
  // once, with no modem to talk to first.
  void network_call() {
    call_++;
    note("connect\t" + std::to_string(call_) + "\t" + tty_.caller());
    connected();
  }

  bool escape_seen(char c) {
    // "+++" while online returns the modem to command mode.
    plus_ = c == '+' ? plus_ + 1 : 0;
    if (plus_ < 3) return false;
    plus_ = 0;
    st_ = state::command;
    line_.clear();
    answer("\r\nOK\r\n");
    return true;
  }

  // Like a real terminal, the prompt is repeated for every further CR until
  // a login arrives.
  void prompt_byte(char c) {
    if (escape_seen(c)) return;
    if (c != '\r') {
      line_ += c;
      return;
    }
    if (line_.find(std::string{ESC, 'P', 'G', '1'}) != std::string::npos) {
      login_byte(c);
      return;
    }
    line_.clear();
    int after = num("prompt-after", 1);
    if (after > 0 && ++crs_ >= after) answer(get("prompt", "ID="));
  }

  void login_byte(char c) {
    if (escape_seen(c)) return;
    if (c != '\r') {
      line_ += c;
      return;
    }
    std::string l = line_;
    line_.clear();
    size_t at = l.find(std::string{ESC, 'P', 'G', '1'});
    if (at == std::string::npos) return;  // a stray CR after the login
    std::string password = l.substr(at + 4);
    logins_++;
    note("login\t" + std::to_string(call_) + "\t" + visible(password));
    if (get("chatter", "none") == "login") {
      st_ = state::chatter;
      return;
    }
    auto expected = opt_.per_call.count("password")
                        ? std::optional<std::string>(get("password", ""))
                        : std::nullopt;
    if (logins_ <= num("login-nak", 0) || (expected && *expected != password)) {
      answer(std::string{NAK, '\r'});
      return;
    }
    std::string what = get("login-reply", "ack");
    if (what == "ack") {
      answer(std::string{ACK, '\r', ESC, '[', 'p', '\r'});
      st_ = state::messages;
    } else if (what == "no-goahead") {
      answer(std::string{ACK, '\r'});
      st_ = state::messages;
    } else if (what == "eot") {
      answer(std::string{ESC, EOT, '\r'});
      st_ = state::dead;
    } else if (what == "nak-eot") {
      answer(std::string{NAK, ESC, EOT, '\r'});
      st_ = state::dead;
    } else if (what == "hangup") {
      answer("\r\nNO CARRIER\r\n");
      st_ = state::command;
    } else if (what == "close") {
      close_call();
    }  // silence: say nothing, stay here
  }

  static std::string checksum(const std::string& part) {
    unsigned sum = 0;
    for (char ch : part) sum += static_cast<unsigned>(static_cast<signed char>(ch));
    sum &= 0xFFF;
    return {static_cast<char>(0x30 + ((sum >> 8) & 0xF)),
            static_cast<char>(0x30 + ((sum >> 4) & 0xF)), static_cast<char>(0x30 + (sum & 0xF))};
  }

  void message_byte(char c) {
    if (!in_block_) {
      if (escape_seen(c)) return;
      if (c == STX) {
        in_block_ = true;
        block_.assign(1, c);
      } else if (c == EOT) {
        logout_pending_ = true;
      } else if (c == '\r' && logout_pending_) {
        logout_pending_ = false;
        note("logout\t" + std::to_string(call_));
        if (get("logout-rs", "no") == "yes") answer(std::string{RS, '\r'});
        answer(std::string{ESC, EOT, '\r'});
        st_ = state::dead;
      }
      return;
    }
    block_ += c;
    size_t etx = block_.find(ETX);
    if (etx == std::string::npos) {
      if (block_.size() > 4096) in_block_ = false;  // runaway: forget it
      return;
    }
    if (block_.size() < etx + 5) return;  // three checksum characters and CR
    in_block_ = false;
    std::string block = block_;
    block_.clear();
    bool framed = block.back() == '\r';
    std::string sum = block.substr(etx + 1, 3);
    if (!framed || sum != checksum(block.substr(0, etx + 1))) {
      note("badsum\t" + std::to_string(call_) + "\t" + visible(block));
      answer(std::string{NAK, '\r'});
      return;
    }
    // STX pagerid CR text CR ETX
    std::string body = block.substr(1, etx - 1);
    size_t cr = body.find('\r');
    std::string pagerid = cr == std::string::npos ? body : body.substr(0, cr);
    std::string text = cr == std::string::npos ? "" : body.substr(cr + 1);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (block != last_block_) {
      block_no_++;
      sends_ = 0;
      last_block_ = block;
    }
    sends_++;
    note("recv\t" + std::to_string(call_) + "\t" + visible(pagerid) + "\t" + visible(text));
    int k = num("fault-block", 0);
    bool faulty = k == 0 || k == block_no_;
    std::string reason = faulty ? get("reason", "") : "";
    std::string prefix = reason.empty() ? "" : reason + "\r";
    if (faulty && sends_ <= num("block-nak", 0)) {
      answer(prefix + std::string{NAK, '\r'});
      return;
    }
    std::string what = faulty ? get("block-reply", "ack") : "ack";
    if (what == "ack") {
      note("block\t" + std::to_string(call_) + "\t" + visible(pagerid) + "\t" + visible(text));
      last_block_.clear();
      answer(prefix + std::string{ACK, '\r'});
    } else if (what == "rs") {
      answer(prefix + std::string{RS, '\r'});
    } else if (what == "eot") {
      answer(prefix + std::string{ESC, EOT, '\r'});
      st_ = state::dead;
    } else if (what == "hangup") {
      answer(prefix + "\r\nNO CARRIER\r\n");
      st_ = state::command;
    } else if (what == "close") {
      close_call();
    } else if (!prefix.empty()) {
      answer(prefix);  // silence after the reason text
    }
  }

  const options& opt_;
  line_end& tty_;
  speed_t last_speed_ = B0;
  FILE* record_ = nullptr;
  FILE* tally_ = nullptr;
  long echoed_ = 0;
  state st_ = state::command;
  std::string line_;
  int call_ = 0;
  int crs_ = 0;
  int logins_ = 0;
  int plus_ = 0;
  int block_no_ = 0;
  int sends_ = 0;
  int chatter_count_ = 0;
  bool in_block_ = false;
  bool in_dial_ = false;
  bool logout_pending_ = false;
  std::string block_;
  std::string last_block_;
};

}  // namespace

// Lets callers reach the slave device: its owner or mode, and the link.
bool share_device(const options& opt, const std::string& device) {
  const char* name = device.c_str();
  if (!opt.owner.empty()) {
    passwd* pw = getpwnam(opt.owner.c_str());
    if (pw == nullptr || chown(name, pw->pw_uid, pw->pw_gid) != 0) {
      fprintf(stderr, "tapsim: cannot give %s to %s\n", name, opt.owner.c_str());
      return false;
    }
    chmod(name, 0600);
  } else {
    chmod(name, 0666);
  }
  if (!opt.link.empty()) {
    unlink(opt.link.c_str());
    if (symlink(name, opt.link.c_str()) != 0) {
      perror("tapsim: symlink");
      return false;
    }
  }
  return true;
}

int main(int argc, char** argv) {
  options opt;
  if (std::optional<int> done = parse_options(argc, argv, opt)) return *done;

  // The caller reaches the terminal through a modem on a pseudo-terminal,
  // or over the network.
  std::unique_ptr<line_end> end;
  std::string name;
  if (!opt.listen.empty()) {
    auto net = std::make_unique<net_end>(stop);
    std::string why;
    if (opt.tls_cert.empty() != opt.tls_key.empty())
      return usage_error("--tls-cert and --tls-key go together");
    if (!net->listen_on(opt.listen, opt.tls_cert, opt.tls_key, why)) {
      fprintf(stderr, "tapsim: %s\n", why.c_str());
      return 1;
    }
    name = net->address();
    end = std::move(net);
  } else {
    auto tty = std::make_unique<line>(stop);
    if (!tty->open()) {
      perror("tapsim: openpty");
      return 1;
    }
    tty->pace(opt.baud);
    name = tty->device();
    if (!share_device(opt, name)) return 1;
    end = std::move(tty);
  }

  if (!opt.path_file.empty()) {
    FILE* f = fopen(opt.path_file.c_str(), "w");
    if (f == nullptr) {
      perror("tapsim: path file");
      return 1;
    }
    fprintf(f, "%s\n", name.c_str());
    fclose(f);
  }
  if (!opt.pid_file.empty()) {
    FILE* f = fopen(opt.pid_file.c_str(), "w");
    if (f) {
      fprintf(f, "%ld\n", static_cast<long>(getpid()));
      fclose(f);
    }
  }
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  printf("%s\n", name.c_str());
  fflush(stdout);

  if (opt.gsm) {
    callvane::tapsim::run_gsm(opt, *end, stop);
  } else {
    simulator sim(opt, *end);
    sim.run();
  }
  if (!opt.link.empty()) unlink(opt.link.c_str());
  if (!opt.pid_file.empty()) unlink(opt.pid_file.c_str());
  return 0;
}
