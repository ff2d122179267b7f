// SNPP client: submits a page to the first reachable server of a list.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "common/instream.h"
#include "common/page.h"

namespace callvane {

// 0: the server accepted SEND; 1: no recipient was accepted; -1: failure
// (a refused login included). When the environment variable SNPP_LOGIN is
// set, LOGIn follows the greeting.
int submit_page(page& p, const std::string& servers);

// The login of SNPP_LOGIN: its first word is the user, the rest the password.
struct snpp_login {
  std::string user;
  std::string password;  // may be empty
};

// What the SNPP_LOGIN text asks for; nullopt with `why` (one line, ended by
// a line feed) when it cannot be sent.
std::optional<snpp_login> parse_login(std::string_view text, std::string& why);

// The next server name of a list (as next_token takes it with the
// separators comma, colon and whitespace), except that an IPv6 address
// ("::1", "fe80::1%eth0") or a bracketed address ("[::1]") is one name
// although it holds colons. False when the list is used up.
bool next_server(std::optional<std::string_view>& state, std::string& name);

// A connected socket to `name` (a host name, an IPv4 or IPv6 address, or
// a bracketed address) on the snpp port (else 444), or -1. Every address
// the name has is tried in turn, over IPv4 or IPv6.
int connect_server(const std::string& name);

// How long the client waits for a reply to settle (and for a connection or
// a write to complete) before it treats the server as gone. A mail system
// piping into the client must never hang on a dead server.
extern std::chrono::milliseconds reply_timeout;

// One client connection: replies are read from it, commands written to it.
// The socket is closed exactly once: by close(), or at destruction.
class snpp_link {
 public:
  explicit snpp_link(int fd) : fd_(fd), in_(fd) {}
  ~snpp_link() { close(); }
  snpp_link(const snpp_link&) = delete;
  snpp_link& operator=(const snpp_link&) = delete;

  // One reply line of at most 1023 bytes, its line end included; false at
  // the end of the stream or when the deadline passed (the stream then
  // counts as ended).
  bool read_line(const time_limit& deadline, std::string& line);
  // Writes everything or gives up (the stream then counts as ended).
  void write(std::string_view data);
  void close();
  bool is_open() const { return fd_ >= 0; }

 private:
  int fd_;
  in_stream in_;
};

// Class of the next reply (code / 100); 4 at the end of the stream or
// when no reply settled within reply_timeout.
int get_reply(snpp_link& link);

// 0 accepted, 1 refused (the complaint, when given, is printed), -1 fatal:
// the connection is closed and must not be used again.
int send_command(snpp_link& link, std::string_view command,
                 const std::optional<std::string>& complaint);

// QUIT, its reply, and the close (unless the QUIT was fatal and closed it).
void send_quit(snpp_link& link);

}  // namespace callvane
