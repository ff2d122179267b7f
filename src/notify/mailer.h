// The system mailer as a child process fed through a pipe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace callvane {

inline constexpr const char* MAILER_PATH = "/usr/sbin/sendmail";

// How long a mailer may take to read one whole message before it is given
// up on; a mailer that never reads must not stall the queue run.
inline constexpr std::chrono::milliseconds MAILER_WRITE_LIMIT{60000};
// After one mailer hung in this process, later ones get only this long.
inline constexpr std::chrono::milliseconds MAILER_WRITE_LIMIT_AFTER_HANG{2000};

// False for an address that must never reach the mailer's command line:
// empty, starting with "-" (it would be read as an option) or holding a
// control character (it would break the header it is written into).
bool mail_address_safe(std::string_view address);

// The input of one running mailer. Nobody waits for the mailer itself: the
// SIGCHLD handler reaps it.
class mail_process {
 public:
  mail_process(int fd, pid_t pid, std::string address);
  ~mail_process();
  mail_process(const mail_process&) = delete;
  mail_process& operator=(const mail_process&) = delete;

  // Writes the whole message and closes the mailer's input. A mailer that
  // stops reading, or does not take everything within `limit`, is killed
  // (so that no cut message goes out) and false is returned, logged.
  bool send(std::string_view message, std::chrono::milliseconds limit = MAILER_WRITE_LIMIT);
  pid_t pid() const { return pid_; }

 private:
  void abandon();

  int fd_;
  pid_t pid_;
  std::string address_;
};

// Starts MAILER_PATH as "sendmail" "-f" "<>" address, reading the message
// on its standard input. Null (logged) when it cannot be started or the
// address is not safe.
std::unique_ptr<mail_process> open_mailer(const std::string& address);

}  // namespace callvane
