// Running the daemon in the background: detaching, the pid file, the ready word.
#pragma once

namespace callvane {

// Leaves the terminal: fork, new session, fork again. Returns in the daemon
// (true) with `ready_fd` to report on; false when the first fork failed.
// The starting process waits for that report and exits with its outcome.
bool detach(int& ready_fd);

// Writes the daemon's pid to the configured pid file, if any; a file that
// cannot be written is skipped without a message.
void write_pidfile();

// Tells the starting process that the daemon runs, and closes `ready_fd`
// (-1 afterwards, and when there is no one to tell).
void tell_ready(int& ready_fd);

}  // namespace callvane
