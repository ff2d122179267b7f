// RFC 1413 ident client: who owns the peer's end of a connection.
#pragma once

#include <optional>
#include <string>

namespace callvane {

// Asks the peer's ident service about the connection on `fd`; the user id,
// or nullopt. Bounded by identtimeout seconds for the whole exchange.
std::optional<std::string> ident_query(int fd);

// The user id in an ident server's answer (what it sent before closing),
// or nullopt when the answer is malformed or names no user.
std::optional<std::string> ident_answer_user(std::string answer);

// Removes leading and trailing whitespace in place.
void trim_blanks(std::string& text);

}  // namespace callvane
