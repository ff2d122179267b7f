// The server side of one SNPP connection: commands, page assembly, queueing.
#include "server/session.h"

#include <poll.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>
#include <optional>

#include "common/instream.h"
#include "common/log.h"
#include "common/sendtime.h"
#include "common/settings.h"
#include "common/text.h"
#include "common/textinput.h"
#include "config/config.h"
#include "config/groups.h"
#include "queue/counters.h"
#include "queue/queuefile.h"

namespace callvane {

pid_t daemon_pid = 0;

namespace {

enum class command {
  pager,
  message,
  reset,
  send,
  quit,
  help,
  data,
  login,
  level,
  alert,
  coverage,
  holduntil,
  callerid,
  who,
  not_implemented,
  unrecognised,
};

struct keyword {
  const char* name;  // matched by its first four characters only
  command code;
};

// Searched in this order; the first match wins.
const keyword COMMANDS[] = {
    {"PAGEr", command::pager},
    {"MESSage", command::message},
    {"RESEt", command::reset},
    {"SEND", command::send},
    {"QUIT", command::quit},
    {"HELP", command::help},
    {"DATA", command::data},
    {"LOGIn", command::login},
    {"LEVEl", command::level},
    {"ALERt", command::alert},
    {"COVErage", command::coverage},
    {"HOLDuntil", command::holduntil},
    {"CALLerid", command::callerid},
    {"SUBJect", command::not_implemented},
    {"2WAY", command::not_implemented},
    {"PING", command::not_implemented},
    {"EXPTag", command::not_implemented},
    {"NOQUEUEing", command::not_implemented},
    {"ACKRead", command::not_implemented},
    {"RTYPe", command::not_implemented},
    {"MCREsponse", command::not_implemented},
    {"MSTAtus", command::not_implemented},
    {"KTAG", command::not_implemented},
    {"XDEBug", command::unrecognised},
    {"XCONfig", command::unrecognised},
    {"XQUEue", command::unrecognised},
    {"XWHO", command::who},
};
constexpr size_t KEYWORD_LENGTH = 4;

// Unrecognised lines allowed before the session is ended.
constexpr int32_t MAX_ERRORS = 10;
constexpr int32_t DEFAULT_LEVEL = 1;
constexpr int32_t LEVEL_LIMIT = 12;  // levels run from 0 to 11

const char* const R_UNRECOGNIZED = "500 Command unrecognized";
const char* const R_NOT_IMPLEMENTED = "500 Command not implemented";
const char* const R_LINE_TOO_LONG = "500 Error, command line too long";
const char* const R_TOO_MANY_ERRORS = "421 Too many errors, goodbye";
const char* const R_TIMEOUT = "421 Timeout, goodbye";
const char* const R_INVALID_PAGER = "550 Error, invalid pager ID";
const char* const R_EMPTY_MESSAGE = "550 Empty message not allowed";
const char* const R_MESSAGE_TOO_LONG = "550 Error, message too long";
const char* const R_ALREADY_ENTERED = "503 Error, message already entered";
const char* const R_MESSAGE_OK = "250 Message ok";

// Set when a reply could not be delivered; the session then ends.
bool reply_failed = false;

inline int byte(char c) { return static_cast<unsigned char>(c); }

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

command find_command(const std::string& line) {
  if (line.size() < KEYWORD_LENGTH) return command::unrecognised;
  for (const keyword& k : COMMANDS) {
    bool match = true;
    for (size_t i = 0; i < KEYWORD_LENGTH && match; i++)
      match = ascii_lower(line[i]) == ascii_lower(k.name[i]);
    if (match) return k.code;
  }
  return command::unrecognised;
}

// The rest of the line after its first word and the white space behind it.
std::string argument_of(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && !is_space(byte(line[i]))) i++;
  while (i < line.size() && is_space(byte(line[i]))) i++;
  return line.substr(i);
}

std::string cut_at_space(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && !is_space(byte(text[i]))) i++;
  return text.substr(0, i);
}

// Trailing white space goes, but never the first character.
void strip_trailing_space(std::string& text) {
  while (text.size() > 1 && is_space(byte(text.back()))) text.pop_back();
}

// Digits up to the first white space, with a value below LEVEL_LIMIT.
std::optional<int32_t> service_level(const std::string& argument) {
  std::string word = cut_at_space(argument);
  if (word.empty()) return std::nullopt;
  int32_t value = 0;
  for (char c : word) {
    if (!is_digit(byte(c))) return std::nullopt;
    if (value < LEVEL_LIMIT) value = value * 10 + (c - '0');  // no overflow
  }
  if (value >= LEVEL_LIMIT) return std::nullopt;
  return value;
}

// Writes all of `text` to standard output. A peer that takes no replies
// for snpptimeout seconds, or a connection that is gone, fails the reply
// instead of blocking the session or killing it with SIGPIPE.
bool write_reply(const std::string& text) {
  time_limit deadline;
  if (snpptimeout > 0) deadline = deadline_after(std::chrono::seconds(snpptimeout));
  size_t done = 0;
  while (done < text.size()) {
    const char* data = text.data() + done;
    size_t left = text.size() - done;
    ssize_t n = send(STDOUT_FILENO, data, left, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) n = write(STDOUT_FILENO, data, left);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int wait_ms = -1;
    if (deadline) {
      auto left_ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - mono_clock::now())
              .count();
      if (left_ms <= 0) return false;
      wait_ms = static_cast<int>(left_ms);
    }
    struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&pfd, 1, wait_ms) == 0) return false;
  }
  return true;
}

// True when the connection is closed for replies too (the peer closed it
// rather than only ending its input).
bool peer_gone() {
  struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
  return poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR)) != 0;
}

// Only the daemon runs the queue; once it is gone the parent is some
// other process that must not get the signal.
void request_queue_run() {
  pid_t parent = getppid();
  if (daemon_pid != 0 && parent == daemon_pid) {
    kill(parent, SIGUSR1);
    return;
  }
  if (debug > 0) logmsg(LOG_DEBUG, "no daemon to run the queue, request dropped");
}

class session {
 public:
  explicit session(page& p) : p_(p), connection_id_(p.messageid.value_or("")) {}
  int run();

 private:
  enum class step { next, quit, end };

  step carry_out(command code, const std::string& argument);
  step unrecognised();
  void do_pager(const std::string& argument);
  void do_message(const std::string& argument);
  step do_data();
  void do_reset();
  void do_send();
  void do_level(const std::string& argument);
  void do_alert(const std::string& argument);
  void do_coverage(const std::string& argument);
  void do_holduntil(const std::string& argument);
  void do_callerid(const std::string& argument);
  void empty_page();
  void clear_pending();
  std::string next_id(const std::string& number);

  page& p_;
  int64_t holduntil_ = 0;
  const service* coverage_ = nullptr;
  int32_t level_ = DEFAULT_LEVEL;
  int32_t pagers_ = 0;
  bool message_ = false;
  int32_t errors_ = 0;
  int32_t pages_ = 0;
  // The id the connection came with; every page id is made from it.
  const std::string connection_id_;
  // Once extending the id would pass MAX_QUEUE_WORD, ids are numbered.
  bool numbered_ids_ = false;
};

int session::run() {
  const char* now = time_text(time(nullptr));
  snpp_reply(std::string("220 Callvane v") + VERSION + " SNPP server ready at " + (now ? now : ""));
  if (p_.input == nullptr) {
    logmsg(LOG_ERR, "snpp(): no input stream");
    return -1;
  }
  for (;;) {
    if (reply_failed) {
      // A client that went away without QUIT is no failure worth a line.
      if (!p_.input->at_end()) logmsg(LOG_NOTICE, "cannot send reply, session ended");
      return -1;
    }
    read_result r = read_text(*p_.input, false, MAX_COMMAND_LINE);
    if (r.timed_out) {
      snpp_reply(R_TIMEOUT);
      return -1;
    }
    if (r.too_long) {
      snpp_reply(R_LINE_TOO_LONG);
      continue;
    }
    if (!r.text) {
      // A client that closed without QUIT hears nothing; one that only
      // ended its input still reads the replies.
      if (p_.input->at_end() && peer_gone()) return -1;
      if (unrecognised() == step::end) return -1;
      continue;
    }
    const std::string& line = *r.text;
    if (debug > 0) {
      fprintf(stderr, "--> %s\n", line.c_str());
      fflush(stderr);
    }
    switch (carry_out(find_command(line), argument_of(line))) {
      case step::next:
        break;
      case step::quit:
        return 0;
      case step::end:
        return -1;
    }
  }
}

session::step session::carry_out(command code, const std::string& argument) {
  switch (code) {
    case command::pager:
      do_pager(argument);
      break;
    case command::message:
      do_message(argument);
      break;
    case command::reset:
      do_reset();
      break;
    case command::send:
      do_send();
      break;
    case command::quit:
      snpp_reply("221 OK, goodbye");
      return step::quit;
    case command::help:
      snpp_help();
      break;
    case command::data:
      return do_data();
    case command::login:
      p_.login = argument;
      snpp_reply("250 Login accepted");
      break;
    case command::level:
      do_level(argument);
      break;
    case command::alert:
      do_alert(argument);
      break;
    case command::coverage:
      do_coverage(argument);
      break;
    case command::holduntil:
      do_holduntil(argument);
      break;
    case command::callerid:
      do_callerid(argument);
      break;
    case command::who:
      logmsg(LOG_ALERT, "pagerid list requested");
      snpp_who();
      snpp_reply("250 Command complete");
      break;
    case command::not_implemented:
      snpp_reply(R_NOT_IMPLEMENTED);
      break;
    case command::unrecognised:
      return unrecognised();
  }
  return step::next;
}

session::step session::unrecognised() {
  if (errors_ >= MAX_ERRORS) {
    snpp_reply(R_TOO_MANY_ERRORS);
    return step::end;
  }
  snpp_reply(R_UNRECOGNIZED);
  errors_++;
  return step::next;
}

void session::do_pager(const std::string& argument) {
  std::string name = cut_at_space(argument);
  // An id longer than a queue file keeps could not be read back.
  if (name.empty() || name.size() > MAX_QUEUE_WORD) {
    snpp_reply(R_INVALID_PAGER);
    return;
  }
  // Without a bound one session could page the same person without end.
  if (p_.rcpts.size() >= MAX_PAGE_RECIPIENTS) {
    snpp_reply("550 Error, too many pager IDs");
    return;
  }
  int result = add_recipient(p_, name, coverage_, holduntil_, level_);
  if (result == 1) {
    snpp_reply("550 Error, no group members on duty");
    return;
  }
  if (result != 0) {
    snpp_reply(R_INVALID_PAGER);
    return;
  }
  pagers_++;
  bool delayed = holduntil_ != 0;
  clear_pending();
  snpp_reply(delayed ? "250 Pager ID accepted, message will be delayed"
                     : "250 Pager ID accepted, message will not be delayed");
}

void session::do_message(const std::string& argument) {
  if (message_) {
    snpp_reply(R_ALREADY_ENTERED);
    return;
  }
  if (argument.empty()) {
    message_ = false;
    snpp_reply(R_EMPTY_MESSAGE);
    return;
  }
  std::string text = argument;
  strip_trailing_space(text);
  clean_message(text);
  p_.message = std::move(text);
  message_ = true;
  snpp_reply(R_MESSAGE_OK);
}

session::step session::do_data() {
  if (message_) {
    snpp_reply(R_ALREADY_ENTERED);
    return step::next;
  }
  snpp_reply("354 Begin input; end with <CRLF>'.'<CRLF>");
  if (reply_failed) return step::end;
  read_result r = read_text(*p_.input, true, MAX_MESSAGE_TEXT);
  if (r.timed_out) {
    snpp_reply(R_TIMEOUT);
    return step::end;
  }
  if (r.too_long || !r.text) {
    message_ = false;
    snpp_reply(r.too_long ? R_MESSAGE_TOO_LONG : R_EMPTY_MESSAGE);
    return step::next;
  }
  p_.message = std::move(*r.text);
  clean_message(*p_.message);
  message_ = true;
  snpp_reply(R_MESSAGE_OK);
  return step::next;
}

void session::do_reset() {
  free_page(p_, true);
  clear_pending();
  pagers_ = 0;
  message_ = false;
  errors_ = 0;
  snpp_reply("250 Reset ok");
}

void session::do_send() {
  if (pagers_ == 0 || !message_) {
    snpp_reply(pagers_ == 0 ? "503 Error, no pager ID" : "503 Error, no message");
    empty_page();
    return;
  }
  p_.created = time(nullptr);
  // The number is used up from here on, whatever follows.
  std::string number = std::to_string(pages_++);
  std::string id;
  try {
    id = next_id(number);
    p_.messageid = id;
  } catch (const std::bad_alloc&) {
    snpp_reply("554 Message failed (out of memory)");
    logmsg(LOG_ERR, "snpp(): cannot allocate memory for p->messageid");
    empty_page();
    return;
  }
  logmsg(LOG_ALERT, "page submitted, id=%s, from=%s", id.c_str(),
         p_.from ? safe_string(*p_.from) : "[anonymous]");
  // Only a file written in full counts as queued.
  if (write_new_page(p_) != 1) {
    snpp_reply("554 Message failed (error writing queue file)");
    logmsg(LOG_ALERT, "write_page() failed for id=%s", id.c_str());
    empty_page();
    return;
  }
  count_accepted(intake::snpp);
  if (synchronous) request_queue_run();
  empty_page();
  clear_pending();
  errors_ = 0;
  snpp_reply("250 Message " + id + " queued for processing");
}

void session::do_level(const std::string& argument) {
  std::optional<int32_t> level = service_level(argument);
  if (!level) {
    snpp_reply("550 Error, invalid service level");
    return;
  }
  level_ = *level;
  snpp_reply("250 OK, alternate service level accepted");
}

// RFC 1861's alert override (0 or 1). A widely used client library drops
// the whole page when it is refused; a page keeps no such field, so it is
// taken, logged and not kept: the terminal alerts as it always does.
void session::do_alert(const std::string& argument) {
  std::string value = cut_at_space(argument);
  if (value != "0" && value != "1") {
    snpp_reply(R_NOT_IMPLEMENTED);
    return;
  }
  logmsg(LOG_INFO, "alert override %s accepted, not kept with the page", value.c_str());
  snpp_reply("250 OK, alert override accepted");
}

void session::do_coverage(const std::string& argument) {
  if (argument.empty()) {
    snpp_reply("550 Error, invalid alternate region");
    return;
  }
  coverage_ = lookup(services, cut_at_space(argument));
  snpp_reply(coverage_ ? "250 Alternate coverage selected" : "550 Error, invalid alternate region");
}

void session::do_holduntil(const std::string& argument) {
  int64_t when = argument.empty() ? -1 : parse_holduntil(argument);
  if (when == -1) {
    holduntil_ = 0;
    snpp_reply("550 Error, invalid delivery date/time");
    return;
  }
  holduntil_ = when;
  const char* text = time_text(when);
  if (text == nullptr) {
    snpp_reply("554 ctime() failed");
    return;
  }
  snpp_reply(std::string("250 Message for next PAGEr will be delayed until ") + text);
}

void session::do_callerid(const std::string& argument) {
  std::string caller = argument;
  strip_trailing_space(caller);
  // A caller id longer than a queue file keeps could not be read back.
  // Nor could one with a NUL byte: every later SEND would fail.
  if (caller.empty() || caller.size() > MAX_QUEUE_WORD || caller.find('\0') != std::string::npos) {
    snpp_reply("550 Error, invalid caller ID");
    return;
  }
  p_.from = caller;
  bool liar = p_.ident && !same_ignoring_case(caller, *p_.ident);
  snpp_reply(liar ? "250 You're a liar, but I'll trust you this time" : "250 Caller ID accepted");
}

// Empties the page; the counts describe what it holds, so they go too.
void session::empty_page() {
  free_page(p_, true);
  pagers_ = 0;
  message_ = false;
}

void session::clear_pending() {
  holduntil_ = 0;
  coverage_ = nullptr;
  level_ = DEFAULT_LEVEL;
}

// Each page extends the id of the one before (LHBx042 gives LHBx0420, then
// LHBx04201, ...), which keeps them distinct: only digits follow the
// connection's id. Past MAX_QUEUE_WORD the ids become the connection's id,
// "." and the page number, which no extended id can equal.
std::string session::next_id(const std::string& number) {
  if (!numbered_ids_) {
    std::string id = p_.messageid.value_or("") + number;
    if (id.size() <= MAX_QUEUE_WORD) return id;
    numbered_ids_ = true;
  }
  size_t room = MAX_QUEUE_WORD - 1 - number.size();
  return connection_id_.substr(0, room) + "." + number;
}

}  // namespace

int snpp(page& p) {
  reply_failed = false;
  session s(p);
  return s.run();
}

void snpp_reply(const std::string& text) {
  // A reply is one line whatever its parts held.
  std::string line = text;
  for (char& c : line)
    if (c == '\r' || c == '\n') c = ' ';
  if (debug > 0) {
    fprintf(stderr, ">>> %s\r\n", line.c_str());
    fflush(stderr);
  }
  // After one reply could not be delivered the connection counts as lost.
  if (reply_failed) return;
  fflush(stdout);  // anything stdio holds goes first
  if (!write_reply(line + "\r\n")) reply_failed = true;
}

}  // namespace callvane
