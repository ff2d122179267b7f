// The steps of an SNPP dialogue, shared by the client and the carrier relay.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/instream.h"
#include "common/page.h"

namespace callvane {

// How long the client waits for a reply to settle (and for a connection or
// a write to complete) before it treats the server as gone. A mail system
// piping into the client must never hang on a dead server.
extern std::chrono::milliseconds reply_timeout;

// How long the reply to SEND may take: a level-1 server may hold it until
// the page went out. The client's SNPP_TIMEOUT sets it.
extern std::chrono::milliseconds send_reply_timeout;

// One client connection: replies are read from it, commands written to it.
// The socket is closed exactly once: by close(), or at destruction.
class snpp_link {
 public:
  explicit snpp_link(int fd);
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

  // Where the dialogue is told, one line each without its end: `trace`
  // gets it under -d (lines sent start with ">>> "), `complain` what the
  // user should hear of a refusal. The client's print to standard output
  // and standard error; the relay logs instead.
  std::function<void(std::string_view)> trace;
  std::function<void(std::string_view)> complain;

 private:
  int fd_;
  in_stream in_;
};

// Class of the next reply (code / 100); 4 at the end of the stream or
// when no reply settled within reply_timeout.
int get_reply(snpp_link& link);

// The class of the next reply and its line in `settled`; 4 with `settled`
// empty when the stream ended or no reply settled within `wait`.
int read_reply(snpp_link& link, std::string& settled,
               std::chrono::milliseconds wait = reply_timeout);

// Writes one command (a line end inside it becomes a blank) and reads its
// reply as read_reply does. The -d trace shows `shown` instead of the
// command when given, so that a password never reaches it.
int exchange(snpp_link& link, std::string_view command, std::string& settled,
             std::chrono::milliseconds wait = reply_timeout,
             std::optional<std::string_view> shown = std::nullopt);

// 0 accepted, 1 refused (the complaint, when given, is told), -1 fatal:
// the connection is closed and must not be used again.
int send_command(snpp_link& link, std::string_view command,
                 const std::optional<std::string>& complaint,
                 std::chrono::milliseconds wait = reply_timeout);

// QUIT, its reply, and the close (unless the QUIT was fatal and closed it).
void send_quit(snpp_link& link);

// Runs one command of a dialogue as send_command answers: 0 accepted, 1
// refused, -1 when the session is over. The client's runs send_command;
// the relay's keeps the reply to tell its outcome.
using snpp_runner =
    std::function<int(std::string_view command, const std::optional<std::string>& complaint)>;

// The options of one recipient (HOLDuntil, COVErage, LEVEl, as far as
// they differ from the defaults) and its PAGEr with `pager_id`: 1 when
// PAGEr was accepted, 0 when the recipient was skipped, -1 when the
// session is over.
int send_recipient(const snpp_runner& run, const rcpt& r, const std::string& pager_id);

// The message: DATA with the text as its body, or, where DATA is refused,
// MESSage with the text folded to one line. 0 accepted, 1 refused, -1
// when the session is over.
int send_message(snpp_link& link, const snpp_runner& run, const std::string& message);

}  // namespace callvane
