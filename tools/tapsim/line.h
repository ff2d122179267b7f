// The simulator's side of the pseudo-terminal: who is on the line, and the
// pace at which characters cross it.
#pragma once

#include <signal.h>
#include <termios.h>

#include <chrono>
#include <optional>
#include <string>

namespace callvane::tapsim {

// What the terminal sees of its caller, whatever carries the call: a
// pseudo-terminal (a modem on a serial line) or a network connection.
class line_end {
 public:
  using clock = std::chrono::steady_clock;
  virtual ~line_end() = default;

  // Waits at most `ms` for the caller. False when the caller has gone away
  // (closed the device or the connection, or died) since the last call: the
  // call is over.
  virtual bool wait(int ms) = 0;
  // The next character from the caller once it has crossed the line, or -1.
  virtual int take() = 0;
  // Everything the caller has left unread, at once.
  virtual std::string drain() = 0;
  // Sends `s`; stops early when the caller goes away or does not read, or
  // we are stopping.
  virtual void send(const std::string& s) = 0;
  // Waits `ms`, less when the caller goes away or we are stopping.
  virtual void pause(int ms) = 0;
  // The speed the caller set; B0 when it dropped DTR, or set none.
  virtual speed_t speed() const = 0;
  // Ready for the next caller.
  virtual void idle() = 0;
  // Whether a caller is on the line (after one left: the next one).
  virtual bool occupied() const = 0;
  // True once for every call that arrives already connected (a network
  // connection): no modem dialogue comes first.
  virtual bool answered() { return false; }
  // Where the current call comes from, when the line knows ("" else).
  virtual std::string caller() const { return ""; }

  // Characters that crossed the line each way since the last call of this.
  struct traffic {
    long from_caller = 0, to_caller = 0;
  };
  virtual traffic take_traffic() = 0;
};

class line : public line_end {
 public:
  // Waits and paced output end early once `stop` is set (by a signal).
  explicit line(const volatile sig_atomic_t& stop) : stop_(stop) {}
  ~line() override;
  line(const line&) = delete;
  line& operator=(const line&) = delete;

  // Opens a pseudo-terminal, idle, with nobody on it; false (errno set) on
  // failure.
  bool open();
  const std::string& device() const { return device_; }

  // Characters of 10 bits at `baud` bits per second in both directions;
  // 0 lets them through as fast as the pseudo-terminal goes.
  void pace(long baud);

  // Waits at most `ms` for the caller. False when the caller has gone away
  // (closed the device, or died) since the last call: the call is over.
  bool wait(int ms) override;
  // The next character from the caller once it has crossed the line, or -1.
  int take() override;
  // Everything the caller has left unread, at once.
  std::string drain() override;
  // Sends `s` at the line's pace; stops early when the caller drops DTR,
  // goes away, or does not read (its input is full), or we are stopping.
  void send(const std::string& s) override;
  // Waits `ms`, less when the caller drops DTR or goes away, or we are
  // stopping.
  void pause(int ms) override;
  // The speed the caller set; B0 when it dropped DTR, or set none.
  speed_t speed() const override;
  // Raw at speed 0 with nothing in transit, ready for the next caller.
  void idle() override;
  // Whether a caller has the slave open (after one left: the next one).
  bool occupied() const override { return present_; }

  traffic take_traffic() override;

 private:
  // Waits until `t`; false as soon as the caller goes away, or drops DTR
  // when it had not at `since`, or we are stopping.
  bool hold(clock::time_point t, speed_t since);
  // One poll of the line; notes callers coming and going and input arriving.
  void look(short events, clock::duration timeout);
  // Input was read: whoever wrote it is on the line.
  void arrived();
  // Counts the opens and closes of the slave the watch reports.
  void count_opens();

  const volatile sig_atomic_t& stop_;
  int fd_ = -1;     // the master
  int watch_ = -1;  // inotify on the slave, or -1
  std::string device_;
  clock::duration char_time_{0};
  int openers_ = 0;                        // slave descriptions open, as the watch counts
  bool closed_ = false;                    // ... fell to 0 since the last look
  bool present_ = false;                   // a caller has the slave open
  bool left_ = false;                      // a caller went away since the simulator last asked
  std::string unread_;                     // read, not yet taken (only when not paced)
  std::optional<clock::time_point> seen_;  // when waiting input was noticed
  traffic traffic_;
  clock::time_point in_free_{}, out_free_{};
};

}  // namespace callvane::tapsim
