// Modem dialogue, TAP login, message transfer and logout.
#pragma once

#include <string>
#include <vector>

#include "config/config.h"
#include "modem/dispatch.h"

namespace callvane {

// Initialises, dials and logs in. 0 when the terminal gave the go-ahead,
// else the recipient flag that names the failure (F_NOMODEM, F_BUSY, ...).
// `mdm` is null when the device entry was a path rather than a modem name.
unsigned modem_connect(int fd, const service& svc, const modem* mdm);

// The TAP login that follows a connection, by modem or network: prompt
// cycles, login, go-ahead. 0 when logged in, else the flag. A modem gets
// a second's pause before each prompt cycle; a network terminal needs none,
// as each cycle already waits for its answer.
unsigned terminal_login(int fd, const service& svc, bool modem_pauses);

// The steps of modem_connect after the dial, for the answers they read.
// The modem's answers up to CONNECT: 0 when connected, else the flag.
unsigned await_connect(int fd, const service& svc);
// One prompt cycle: true once the terminal's "ID=" prompt came, false at a
// one-second silence or after three seconds.
bool scan_for_prompt(int fd);
// Logs in after the prompt: 0 on the terminal's go-ahead, else the flag.
unsigned tap_login(int fd, const service& svc);

// Sends one job's message in TAP blocks: 0 delivered, 1 status unknown,
// -1 failed.
int transfer(int fd, const job& j);

// Ends the TAP session with EOT.
void logout(int fd, const service& svc);

// TAP checksum of a block from STX through ETX, as three characters.
std::string tap_checksum(const std::string& block);

// STX, pager id, CR, text, CR, ETX, checksum, CR.
std::string tap_block(const std::string& pagerid, const std::string& text);

// The texts of the blocks that carry a job's message, in order. Empty when
// the service's maxmsgsize leaves no room (then `failure` names why).
std::vector<std::string> tap_texts(const job& j, std::string* failure = nullptr);

}  // namespace callvane
