// The steps of an SNPP dialogue, shared by the client and the carrier relay.
#include "client/dialogue.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "common/settings.h"
#include "common/text.h"

namespace callvane {

std::chrono::milliseconds reply_timeout{60000};
std::chrono::milliseconds send_reply_timeout{300000};

namespace {

constexpr size_t REPLY_LINE = 1024 - 1;
constexpr int WRAP_WIDTH = 70;
constexpr long HELP_TEXT = 214;
const char MESSAGE_COMPLAINT[] = "Cannot send message; entire page is canceled";
const char FATAL[] = "Fatal error, aborting";

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

void print_line(FILE* to, std::string_view text) {
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
std::string data_body(snpp_link& link, const std::string& message) {
  std::string body, piece;
  const char* text = message.c_str();
  while (text != nullptr) {
    const char* rest = wrapline(piece, text, WRAP_WIDTH);
    if (rest != nullptr && !piece.empty() && piece.back() != ' ' && rest > text &&
        is_space(static_cast<unsigned char>(rest[-1])))
      piece.push_back(' ');
    if (debug) link.trace(">>> " + piece);
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

}  // namespace

snpp_link::snpp_link(int fd)
    : trace([](std::string_view line) {
        print_line(stdout, line);
        fflush(stdout);
      }),
      complain([](std::string_view text) { print_line(stderr, text); }),
      fd_(fd),
      in_(fd) {}

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

int read_reply(snpp_link& link, std::string& settled, std::chrono::milliseconds wait) {
  time_limit deadline = mono_clock::now() + wait;
  std::string line;
  settled.clear();
  while (link.read_line(deadline, line)) {
    std::string shown = without_line_end(line);
    if (debug) link.trace(shown);
    long code = reply_code(line);
    if (code == HELP_TEXT) continue;
    if (code == 0) {
      link.complain("Bogus response: " + shown);
      continue;
    }
    settled = shown;
    return static_cast<int>(code / 100);
  }
  return 4;
}

int get_reply(snpp_link& link) {
  std::string settled;
  return read_reply(link, settled);
}

int exchange(snpp_link& link, std::string_view command, std::string& settled,
             std::chrono::milliseconds wait, std::optional<std::string_view> shown) {
  if (debug) link.trace(">>> " + std::string(shown.value_or(command)));
  // A command is one line: a line end inside a name or sender (a folded
  // mail header, say) would make the server run the rest as a command.
  std::string line(command);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  line += "\r\n";
  link.write(line);
  return read_reply(link, settled, wait);
}

int send_command(snpp_link& link, std::string_view command,
                 const std::optional<std::string>& complaint, std::chrono::milliseconds wait) {
  std::string settled;
  switch (exchange(link, command, settled, wait)) {
    case 5:
      link.complain(complaint.value_or(""));
      return 1;
    case 4:
      link.complain(FATAL);
      link.close();
      return -1;
    default:
      return 0;
  }
}

void send_quit(snpp_link& link) {
  if (send_command(link, "QUIT", std::nullopt) >= 0) link.close();
}

int send_recipient(const snpp_runner& run, const rcpt& r, const std::string& pager_id) {
  if (r.holduntil != 0) {
    std::optional<std::string> when = hold_text(r.holduntil);
    if (!when) {
      fputs("localtime() failed\n", stderr);
      return 0;
    }
    int result = run("HOLDuntil " + *when,
                     "Cannot hold page until " + *when + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  if (r.coverage) {
    int result = run("COVErage " + *r.coverage,
                     "Cannot set coverage to " + *r.coverage + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  if (r.servicelevel != 1) {
    std::string level = std::to_string(r.servicelevel);
    int result =
        run("LEVEl " + level, "Cannot set level to " + level + " (skipping " + r.pager + ")");
    if (result != 0) return result < 0 ? -1 : 0;
  }
  int result = run("PAGEr " + pager_id, "Cannot send page to " + r.pager);
  if (result < 0) return -1;
  return result == 0 ? 1 : 0;
}

int send_message(snpp_link& link, const snpp_runner& run, const std::string& message) {
  int result = run("DATA", std::nullopt);
  if (result < 0) return -1;
  if (result == 1) return run("MESSage " + folded(message), MESSAGE_COMPLAINT);
  link.write(data_body(link, message));
  return run(".", MESSAGE_COMPLAINT);
}

}  // namespace callvane
