// SNPP client: submits a page to the first reachable server of a list.
#include "client/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/settings.h"
#include "common/text.h"

namespace callvane {

std::chrono::milliseconds reply_timeout{60000};

namespace {

constexpr size_t REPLY_LINE = 1024 - 1;
constexpr int DEFAULT_PORT = 444;
constexpr int WRAP_WIDTH = 70;
const char SERVER_SEPARATORS[] = ",: \t\r\n";
// The separators that never occur inside an IPv6 address literal.
const char LITERAL_ENDS[] = ", \t\r\n";
const char MESSAGE_COMPLAINT[] = "Cannot send message; entire page is canceled";
const char LOGIN_VARIABLE[] = "SNPP_LOGIN";
// A user and password of any real server fit; more is taken for a mistake.
constexpr size_t MAX_LOGIN = 256;

// Milliseconds left until `deadline`, at least 0, for poll().
int ms_left(mono_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - mono_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

// The leading decimal number of a reply, as atoi reads it (0: none).
long reply_code(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && is_space(static_cast<unsigned char>(line[i]))) i++;
  bool negative = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  long value = 0;
  for (; i < line.size() && is_digit(static_cast<unsigned char>(line[i])); i++)
    if (value < INT_MAX / 10) value = value * 10 + (line[i] - '0');  // saturates
  return negative ? -value : value;
}

std::string without_line_end(const std::string& line) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r')) end--;
  return line.substr(0, end);
}

void print_line(FILE* to, std::string_view prefix, std::string_view text) {
  fwrite(prefix.data(), 1, prefix.size(), to);
  fwrite(text.data(), 1, text.size(), to);
  fputc('\n', to);
}

// The message as one line: every whitespace run, line ends included, one
// blank, none at either end. A line end must never reach the server inside
// MESSage, where the rest of the line would be read as a command.
std::string folded(const std::string& text) {
  std::string out;
  bool blank = false;
  for (char c : text) {
    if (is_space(static_cast<unsigned char>(c))) {
      blank = !out.empty();
    } else {
      if (blank) out.push_back(' ');
      blank = false;
      out.push_back(c);
    }
  }
  return out;
}

// The DATA body: the message cut into pieces that follow one another on a
// single line. Where a piece made of one word ends right at the word's end,
// the blank after the word is put back so two words never run together.
std::string data_body(const std::string& message) {
  std::string body, piece;
  const char* text = message.c_str();
  while (text != nullptr) {
    const char* rest = wrapline(piece, text, WRAP_WIDTH);
    if (rest != nullptr && !piece.empty() && piece.back() != ' ' && rest > text &&
        is_space(static_cast<unsigned char>(rest[-1])))
      piece.push_back(' ');
    if (debug) print_line(stdout, ">>> ", piece);
    body += piece;
    text = rest;
  }
  body += "\r\n";
  return body;
}

// "HOLDuntil" text of a hold time in local time, or nullopt.
std::optional<std::string> hold_text(int64_t when) {
  time_t t = static_cast<time_t>(when);
  struct tm tm;
  if (static_cast<int64_t>(t) != when || localtime_r(&t, &tm) == nullptr) return std::nullopt;
  char text[64];
  snprintf(text, sizeof text, "%02u%02u%02u%02u%02u%02u",
           static_cast<unsigned>((tm.tm_year % 100 + 100) % 100),
           static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday),
           static_cast<unsigned>(tm.tm_hour), static_cast<unsigned>(tm.tm_min),
           static_cast<unsigned>(tm.tm_sec));
  return std::string(text);
}

// Sends the options and PAGEr of one recipient; 1 when its PAGEr was
// accepted, 0 when it was skipped, -1 when the session is over.
int send_recipient(snpp_link& link, const rcpt& r) {
  if (r.holduntil != 0) {
    std::optional<std::string> when = hold_text(r.holduntil);
    if (!when) {
      fputs("localtime() failed\n", stderr);
      return 0;
    }
    int result = send_command(link, "HOLDuntil " + *when,
                              "Cannot hold page until " + *when + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  if (r.coverage) {
    int result =
        send_command(link, "COVErage " + *r.coverage,
                     "Cannot set coverage to " + *r.coverage + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  if (r.servicelevel != 1) {
    std::string level = std::to_string(r.servicelevel);
    int result = send_command(link, "LEVEl " + level,
                              "Cannot set level to " + level + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  int result = send_command(link, "PAGEr " + r.pager, "Cannot send page to " + r.pager);
  if (result < 0) return -1;
  return result == 0 ? 1 : 0;
}

// Connects within reply_timeout; false with errno set otherwise.
bool connect_within(int fd, const struct sockaddr* addr, socklen_t len) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  if (connect(fd, addr, len) < 0) {
    if (errno != EINPROGRESS && errno != EINTR) return false;
    mono_clock::time_point deadline = mono_clock::now() + reply_timeout;
    for (;;) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      int r = poll(&pfd, 1, ms_left(deadline));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return false;
      if (r == 0) {
        errno = ETIMEDOUT;
        return false;
      }
      int error = 0;
      socklen_t len = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0) return false;
      if (error != 0) {
        errno = error;
        return false;
      }
      break;
    }
  }
  return fcntl(fd, F_SETFL, flags) == 0;
}

// True when `text` is a numeric address (an IPv6 zone allowed) of
// `family`, or of either family with AF_UNSPEC.
bool numeric_address(const std::string& text, int family) {
  if (text.empty()) return false;
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_flags = AI_NUMERICHOST;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return false;
  freeaddrinfo(found);
  return true;
}

// The address inside "[...]" when `name` is a bracketed numeric address.
std::optional<std::string> bracket_content(std::string_view name) {
  if (name.size() < 3 || name.front() != '[' || name.back() != ']') return std::nullopt;
  std::string inside(name.substr(1, name.size() - 2));
  if (!numeric_address(inside, AF_UNSPEC)) return std::nullopt;
  return inside;
}

// A word of the list that names one server although it may hold colons:
// a bracketed address, or a bare IPv6 address.
bool address_literal(std::string_view word) {
  if (bracket_content(word)) return true;
  return word.find(':') != std::string_view::npos && numeric_address(std::string(word), AF_INET6);
}

// Where the word of the list that starts at `start` ends, npos at the end
// of the list: at a separator other than a colon, or right after the "]"
// of a bracketed word, where a colon may follow as well.
size_t literal_end(std::string_view list, size_t start) {
  if (list[start] == '[') {
    size_t after = list.find(']', start);
    if (after != std::string_view::npos) {
      after++;
      if (after == list.size()) return std::string_view::npos;
      if (std::string_view(SERVER_SEPARATORS).find(list[after]) != std::string_view::npos)
        return after;
    }
  }
  return list.find_first_of(LITERAL_ENDS, start);
}

// The port of the service "snpp" over "tcp", else 444; network order.
in_port_t snpp_port() {
  struct servent* se = getservbyname("snpp", "tcp");
  return se != nullptr ? static_cast<in_port_t>(se->s_port) : htons(DEFAULT_PORT);
}

void set_port(struct sockaddr* addr, in_port_t port) {
  if (addr->sa_family == AF_INET6)
    reinterpret_cast<struct sockaddr_in6*>(addr)->sin6_port = port;
  else if (addr->sa_family == AF_INET)
    reinterpret_cast<struct sockaddr_in*>(addr)->sin_port = port;
}

// The class of the next reply and, when it settled, its line in `settled`.
int read_reply(snpp_link& link, std::string& settled) {
  time_limit deadline = mono_clock::now() + reply_timeout;
  std::string line;
  settled.clear();
  while (link.read_line(deadline, line)) {
    std::string shown = without_line_end(line);
    if (debug) {
      print_line(stdout, "", shown);
      fflush(stdout);
    }
    long code = reply_code(line);
    if (code == 214) continue;  // help text
    if (code == 0) {
      print_line(stderr, "Bogus response: ", shown);
      continue;
    }
    settled = shown;
    return static_cast<int>(code / 100);
  }
  return 4;
}

// LOGIn right after the greeting. A refusal is the server's answer about
// this user, not a sign that it is unreachable, so the page stops here
// rather than going to the next server. 0 when accepted, -1 when the
// session is over.
int send_login(snpp_link& link, const snpp_login& login, const std::string& server) {
  std::string command = "LOGIn " + login.user;
  if (debug) {
    // The password stays off the screen and out of any captured trace.
    print_line(stdout, ">>> ", command + (login.password.empty() ? "" : " ********"));
    fflush(stdout);
  }
  if (!login.password.empty()) command += " " + login.password;
  link.write(command + "\r\n");
  std::string reply;
  switch (read_reply(link, reply)) {
    case 5:
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

}  // namespace

bool snpp_link::read_line(const time_limit& deadline, std::string& line) {
  line.clear();
  while (line.size() < REPLY_LINE) {
    int c = in_.get(deadline);
    if (c == in_stream::TIMEOUT) {
      in_.close();  // a server that does not settle its reply counts as gone
      return false;
    }
    if (c == in_stream::END) return !line.empty();
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return true;
}

void snpp_link::write(std::string_view data) {
  if (fd_ < 0) return;
  mono_clock::time_point deadline = mono_clock::now() + reply_timeout;
  while (!data.empty()) {
    // MSG_NOSIGNAL: a server that has gone away must not kill us with
    // SIGPIPE; the missing reply tells the rest.
    ssize_t n = send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {fd_, POLLOUT, 0};
      int r = poll(&pfd, 1, ms_left(deadline));
      if (r > 0 || (r < 0 && errno == EINTR)) continue;
    }
    in_.close();  // nothing more can be said; the next reply is end of stream
    return;
  }
}

void snpp_link::close() {
  if (fd_ < 0) return;
  in_.close();
  ::close(fd_);
  fd_ = -1;
}

int get_reply(snpp_link& link) {
  std::string settled;
  return read_reply(link, settled);
}

std::optional<snpp_login> parse_login(std::string_view text, std::string& why) {
  if (text.size() > MAX_LOGIN) {
    why = std::string(LOGIN_VARIABLE) + " is too long (at most " + std::to_string(MAX_LOGIN) +
          " characters)\n";
    return std::nullopt;
  }
  for (unsigned char c : text) {
    // A line end would end the command early and let the rest be read as
    // another command; no other control character belongs in a name.
    if (c < 0x20 || c == 0x7f) {
      why = std::string(LOGIN_VARIABLE) + " holds a control character\n";
      return std::nullopt;
    }
  }
  size_t start = text.find_first_not_of(' ');
  if (start == std::string_view::npos) {
    why = std::string(LOGIN_VARIABLE) + " holds no user name\n";
    return std::nullopt;
  }
  text.remove_prefix(start);
  text.remove_suffix(text.size() - (text.find_last_not_of(' ') + 1));
  size_t blank = text.find(' ');
  snpp_login login;
  login.user = text.substr(0, blank);
  if (blank != std::string_view::npos)
    login.password = text.substr(text.find_first_not_of(' ', blank));
  return login;
}

int send_command(snpp_link& link, std::string_view command,
                 const std::optional<std::string>& complaint) {
  if (debug) {
    print_line(stdout, ">>> ", command);
    fflush(stdout);
  }
  // A command is one line: a line end inside a name or sender (a folded
  // mail header, say) would make the server run the rest as a command.
  std::string line(command);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  line += "\r\n";
  link.write(line);
  switch (get_reply(link)) {
    case 5:
      if (complaint) fputs(complaint->c_str(), stderr);
      fputc('\n', stderr);
      return 1;
    case 4:
      fputs("Fatal error, aborting\n", stderr);
      link.close();
      return -1;
    default:
      return 0;
  }
}

void send_quit(snpp_link& link) {
  if (send_command(link, "QUIT", std::nullopt) >= 0) link.close();
}

bool next_server(std::optional<std::string_view>& state, std::string& name) {
  if (!state) return false;
  std::string_view list = *state;
  size_t start = list.find_first_not_of(LITERAL_ENDS);
  if (start != std::string_view::npos) {
    size_t end = literal_end(list, start);
    std::string_view word = list.substr(start, end == std::string_view::npos ? end : end - start);
    if (address_literal(word)) {
      name.assign(word);
      // As next_token does: one separator after the name goes with it.
      if (end == std::string_view::npos)
        state.reset();
      else
        state = list.substr(end + 1);
      return true;
    }
  }
  return next_token(state, SERVER_SEPARATORS, name);
}

int connect_server(const std::string& name) {
  if (debug) {
    printf("Connecting to SNPP server at %s\n", name.c_str());
    fflush(stdout);
  }
  // A bracketed address is looked up without its brackets.
  std::string host = bracket_content(name).value_or(name);
  struct addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    fprintf(stderr, "Unknown host: %s\n", name.c_str());
    return -1;
  }
  in_port_t port = snpp_port();

  // Every address in the resolver's order, each within the connect time;
  // only the last failure is told, as that of the server.
  int fd = -1;
  int last_error = EAFNOSUPPORT;  // should no address be of either family
  bool socket_failed = false;
  for (struct addrinfo* ai = found; ai != nullptr && fd < 0; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    fd = socket(ai->ai_family, SOCK_STREAM, 0);
    socket_failed = fd < 0;
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    set_port(ai->ai_addr, port);
    if (!connect_within(fd, ai->ai_addr, ai->ai_addrlen)) {
      last_error = errno;
      ::close(fd);
      fd = -1;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    errno = last_error;
    if (socket_failed)
      perror("Cannot create socket");
    else
      fprintf(stderr, "Cannot connect to SNPP server at %s: %s\n", name.c_str(),
              strerror(last_error));
    return -1;
  }
  if (debug) {
    puts("Connected");
    fflush(stdout);
  }
  return fd;
}

int submit_page(page& p, const std::string& servers) {
  // A login that cannot be sent is refused before any server is bothered.
  std::optional<snpp_login> login;
  if (const char* env = getenv(LOGIN_VARIABLE); env != nullptr && *env != '\0') {
    std::string why;
    login = parse_login(env, why);
    if (!login) {
      fputs(why.c_str(), stderr);
      return -1;
    }
  }

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
  if (login && send_login(link, *login, name) < 0) return -1;

  if (p.from && !p.from->empty()) {
    if (send_command(link, "CALLerid " + *p.from, "CALLerid " + *p.from + " not accepted") < 0)
      return -1;
  }

  int accepted = 0;
  for (const rcpt& r : p.rcpts) {
    int result = send_recipient(link, r);
    if (result < 0) return -1;
    accepted += result;
  }
  if (accepted == 0) {
    send_quit(link);
    return 1;
  }

  const std::string message = p.message.value_or("");
  int result = send_command(link, "DATA", std::nullopt);
  if (result < 0) return -1;
  if (result == 1) {
    result = send_command(link, "MESSage " + folded(message), MESSAGE_COMPLAINT);
  } else {
    link.write(data_body(message));
    result = send_command(link, ".", MESSAGE_COMPLAINT);
  }
  if (result != 0) {
    if (result == 1) send_quit(link);
    return -1;
  }

  result = send_command(link, "SEND", "Page failed");
  if (result != 0) {
    if (result == 1) send_quit(link);
    return -1;
  }
  send_quit(link);
  fflush(stdout);
  return 0;
}

}  // namespace callvane
