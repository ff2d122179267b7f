// This test program standing in for the system mailer at /usr/sbin/sendmail.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace notifytest {

// What the stand-in does when the code under test starts it.
enum class standin_mode {
  record,  // keeps argv, stdin, ids, descriptors and signal state; exits 0
  quit,    // exits at once without reading anything
  hang,    // never reads; sleeps until killed (or 30 s)
};

// What a recording stand-in kept.
struct standin_record {
  std::string argv;     // every argument followed by a zero byte, argv[0] first
  std::string input;    // all of standard input
  std::string ids;      // "<uid> <euid>"
  std::string fds;      // open descriptors, blank-separated, ascending
  std::string signals;  // SIGPIPE disposition and whether any signal is blocked
  bool ran = false;
};

// While alive, this test program is what runs as /usr/sbin/sendmail in
// this process's mount namespace (the caller must have entered a private
// one), behaving as `mode`. Its records go to a directory anyone can write,
// so that a mailer started after the switch to uucp can keep them too.
class mailer_standin {
 public:
  explicit mailer_standin(standin_mode mode);
  ~mailer_standin();
  mailer_standin(const mailer_standin&) = delete;
  mailer_standin& operator=(const mailer_standin&) = delete;

  // Waits (bounded) until every child of this process has ended, reaping
  // them; false when one was still running after 10 s (then killed).
  static bool reap_children();
  standin_record record() const;
  // The record of a mailer that is not our child: waits up to 10 s for it.
  standin_record wait_for_record() const;
  // Drops what was recorded, so that a later mailer can be told apart.
  void forget() const;

 private:
  std::string dir_;
  std::string target_;
  std::string scratch_;  // a mount made only to have a mount point
};

// Processes whose parent is this process, zombies included.
std::vector<pid_t> child_pids();

}  // namespace notifytest
