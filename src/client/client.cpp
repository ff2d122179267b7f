// SNPP client: submits a page to the first reachable server of a list.
#include "client/client.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/settings.h"
#include "common/text.h"

namespace callvane {

namespace {

const char LOGIN_VARIABLE[] = "SNPP_LOGIN";
const char SITE_VARIABLE[] = "SNPP_SITE";
const char TIMEOUT_VARIABLE[] = "SNPP_TIMEOUT";
const char SITE_SEPARATOR = ';';
const char MASK[] = "********";
// A user and password of any real server fit; more is taken for a mistake.
constexpr size_t MAX_LOGIN = 256;
constexpr size_t MAX_SITE = 1024;
constexpr int MAX_TIMEOUT_SECONDS = 86400;
// The replies that say a command is unknown to the server.
constexpr long NOT_IMPLEMENTED_CODES[] = {500, 502};

// A control character would end a command early and let the rest be read
// as another command; none belongs in a name or a site command.
bool has_control(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7f;
  });
}

std::string_view trimmed(std::string_view text) {
  size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) return {};
  return text.substr(start, text.find_last_not_of(' ') + 1 - start);
}

// LOGIn right after the greeting. A refusal is the server's answer about
// this user, not a sign that it is unreachable, so the page stops here
// rather than going to the next server; a server without the command is
// used without a login. 0 when the session goes on, -1 when it is over.
int send_login(snpp_link& link, const snpp_login& login, const std::string& server) {
  std::string reply;
  switch (exchange(link, login_command(login, false), reply, reply_timeout,
                   login_command(login, true))) {
    case 5:
      if (not_implemented(reply)) {
        if (debug) link.trace("Server " + server + " has no LOGIn; going on without it");
        return 0;
      }
      fprintf(stderr, "Login refused by %s: %s\n", server.c_str(), safe_string(reply));
      send_quit(link);
      return -1;
    case 4:
      fputs("Fatal error, aborting\n", stderr);
      link.close();
      return -1;
    default:
      return 0;
  }
}

// The site commands after the login, each to be accepted with a 2xx reply:
// a server that refuses one is not set up as asked. 0 or -1 as send_login.
int send_site(snpp_link& link, const std::vector<std::string>& commands,
              const std::string& server) {
  for (const std::string& command : commands) {
    std::string reply;
    int kind = exchange(link, command, reply);
    if (kind == 2) continue;
    if (reply.empty()) {
      fputs("Fatal error, aborting\n", stderr);
      link.close();
      return -1;
    }
    // safe_string's area holds one text at a time.
    std::string shown = safe_string(command);
    fprintf(stderr, "%s refused by %s: %s\n", shown.c_str(), server.c_str(), safe_string(reply));
    send_quit(link);
    return -1;
  }
  return 0;
}

// What the environment asks of the session, read before any connection.
struct session_settings {
  std::optional<snpp_login> login;
  std::vector<std::string> site;
};

// The value of a variable that is set and not empty.
std::optional<std::string_view> variable(const char* name) {
  const char* value = getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return value;
}

// False, with the reason told, when a variable cannot be used.
bool read_environment(session_settings& settings) {
  std::string why;
  if (std::optional<std::string_view> text = variable(LOGIN_VARIABLE))
    settings.login = parse_login(*text, why);
  if (std::optional<std::string_view> text = variable(SITE_VARIABLE); text && why.empty()) {
    if (std::optional<std::vector<std::string>> commands = parse_site(*text, why))
      settings.site = std::move(*commands);
  }
  if (std::optional<std::string_view> text = variable(TIMEOUT_VARIABLE); text && why.empty()) {
    if (std::optional<int> seconds = parse_timeout(*text, why))
      send_reply_timeout = std::chrono::seconds(*seconds);
  }
  if (why.empty()) return true;
  fputs(why.c_str(), stderr);
  return false;
}

}  // namespace

std::optional<snpp_login> parse_login(std::string_view text, std::string& why) {
  if (text.size() > MAX_LOGIN) {
    why = std::string(LOGIN_VARIABLE) + " is too long (at most " + std::to_string(MAX_LOGIN) +
          " characters)\n";
    return std::nullopt;
  }
  if (has_control(text)) {
    why = std::string(LOGIN_VARIABLE) + " holds a control character\n";
    return std::nullopt;
  }
  text = trimmed(text);
  if (text.empty()) {
    why = std::string(LOGIN_VARIABLE) + " holds no user name\n";
    return std::nullopt;
  }
  size_t blank = text.find(' ');
  snpp_login login;
  login.user = text.substr(0, blank);
  if (blank != std::string_view::npos)
    login.password = text.substr(text.find_first_not_of(' ', blank));
  return login;
}

std::optional<std::vector<std::string>> parse_site(std::string_view text, std::string& why) {
  if (text.size() > MAX_SITE) {
    why = std::string(SITE_VARIABLE) + " is too long (at most " + std::to_string(MAX_SITE) +
          " characters)\n";
    return std::nullopt;
  }
  if (has_control(text)) {
    why = std::string(SITE_VARIABLE) + " holds a control character\n";
    return std::nullopt;
  }
  std::vector<std::string> commands;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(SITE_SEPARATOR, start), text.size());
    std::string_view command = trimmed(text.substr(start, end - start));
    if (!command.empty()) commands.emplace_back(command);
    start = end + 1;
  }
  return commands;
}

std::optional<int> parse_timeout(std::string_view text, std::string& why) {
  int seconds = 0;
  bool digits = !text.empty() && text.size() <= 5;
  for (char c : text) {
    digits = digits && is_digit(static_cast<unsigned char>(c));
    if (digits) seconds = seconds * 10 + (c - '0');
  }
  if (!digits || seconds < 1 || seconds > MAX_TIMEOUT_SECONDS) {
    why = std::string(TIMEOUT_VARIABLE) + " must be a number of seconds from 1 to " +
          std::to_string(MAX_TIMEOUT_SECONDS) + "\n";
    return std::nullopt;
  }
  return seconds;
}

std::string login_command(const snpp_login& login, bool masked) {
  std::string command = "LOGIn " + login.user;
  if (!login.password.empty()) command += " " + (masked ? std::string(MASK) : login.password);
  return command;
}

bool not_implemented(const std::string& reply) {
  long code = atol(reply.c_str());
  return std::find(std::begin(NOT_IMPLEMENTED_CODES), std::end(NOT_IMPLEMENTED_CODES), code) !=
         std::end(NOT_IMPLEMENTED_CODES);
}

int submit_page(page& p, const std::string& servers) {
  // What cannot be sent is refused before any server is bothered.
  session_settings settings;
  if (!read_environment(settings)) return -1;

  std::optional<std::string_view> state{servers};
  std::string name;
  int fd = -1;
  while (fd < 0 && next_server(state, name)) fd = connect_server(name);
  if (fd < 0) return -1;

  snpp_link link(fd);
  if (get_reply(link) != 2) {
    fputs("Fatal error, aborting\n", stderr);
    send_quit(link);
    return -1;
  }
  if (settings.login && send_login(link, *settings.login, name) < 0) return -1;
  if (send_site(link, settings.site, name) < 0) return -1;

  if (p.from && !p.from->empty()) {
    if (send_command(link, "CALLerid " + *p.from, "CALLerid " + *p.from + " not accepted") < 0)
      return -1;
  }

  snpp_runner run = [&link](std::string_view command, const std::optional<std::string>& complaint) {
    return send_command(link, command, complaint);
  };
  int accepted = 0;
  for (const rcpt& r : p.rcpts) {
    int result = send_recipient(run, r, r.pager);
    if (result < 0) return -1;
    accepted += result;
  }
  if (accepted == 0) {
    send_quit(link);
    return 1;
  }

  int result = send_message(link, run, p.message.value_or(""));
  if (result != 0) {
    if (result == 1) send_quit(link);
    return -1;
  }

  result = send_command(link, "SEND", "Page failed", send_reply_timeout);
  if (result != 0) {
    if (result == 1) send_quit(link);
    return -1;
  }
  send_quit(link);
  fflush(stdout);
  return 0;
}

}  // namespace callvane
