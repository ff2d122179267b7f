// SNPP client: submits a page to the first reachable server of a list.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/dialogue.h"
#include "common/page.h"

namespace callvane {

// 0: the server accepted SEND; 1: no recipient was accepted; -1: failure
// (a refused login or site command included). When the environment
// variable SNPP_LOGIN is set, LOGIn follows the greeting; SNPP_SITE's
// commands follow that; SNPP_TIMEOUT bounds the wait for SEND's reply.
int submit_page(page& p, const std::string& servers);

// The login of SNPP_LOGIN: its first word is the user, the rest the password.
struct snpp_login {
  std::string user;
  std::string password;  // may be empty
};

// What the SNPP_LOGIN text asks for; nullopt with `why` (one line, ended by
// a line feed) when it cannot be sent.
std::optional<snpp_login> parse_login(std::string_view text, std::string& why);

// The commands of SNPP_SITE, separated by ";" (blanks around each and empty
// ones dropped); nullopt with `why` as parse_login gives it.
std::optional<std::vector<std::string>> parse_site(std::string_view text, std::string& why);

// The seconds of SNPP_TIMEOUT (1 to 86400); nullopt with `why` as
// parse_login gives it.
std::optional<int> parse_timeout(std::string_view text, std::string& why);

// The LOGIn command of a login, and the same with the password masked for
// a trace.
std::string login_command(const snpp_login& login, bool masked);

// True for a refusal that says the server lacks the command ("500 Command
// not implemented", 502): an optional command is then left out.
bool not_implemented(const std::string& reply);

// The next server name of a list (as next_token takes it with the
// separators comma, colon and whitespace), except that an IPv6 address
// ("::1", "fe80::1%eth0") or a bracketed address ("[::1]") is one name
// although it holds colons. False when the list is used up.
bool next_server(std::optional<std::string_view>& state, std::string& name);

// A connected socket to `name` (a host name, an IPv4 or IPv6 address, or
// a bracketed address) on the snpp port (else 444), or -1. Every address
// the name has is tried in turn, over IPv4 or IPv6.
int connect_server(const std::string& name);

// A connected socket to `host` (a name or an address, without brackets) on
// the decimal `port`, every address tried in turn, each within
// `per_address`; -1 with the reason in `why`.
int connect_to(const std::string& host, const std::string& port,
               std::chrono::milliseconds per_address, std::string& why);

}  // namespace callvane
