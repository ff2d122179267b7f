// Spool directories and hand-made queue files for the queue tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/support.h"

namespace spooltest {

struct recipient {
  std::string pager;
  int32_t tries = 0;
  int32_t goodtries = 0;
  int64_t holduntil = 0;
  int64_t lasttry = 0;
  uint32_t flags = 0;
};

struct page_file {
  std::vector<recipient> rcpts = {};  // in file order
  std::optional<std::string> from = std::nullopt;
  std::optional<std::string> hostname = std::nullopt;
  std::string message = "hello";
  int64_t created = 912345678;
  std::string id = "AAAA000";
};

// The text a queue file of this page holds, line by line as the writer makes
// it, so that a file written back unchanged compares equal.
inline std::string queue_text(const page_file& p) {
  static const char* const names[] = {
      "F_SENT",    "F_FAILED", "F_BUSY",   "F_NOCARRIER", "F_NOMODEM",  "F_FORCED",   "F_NOPROMPT",
      "F_UNKNOWN", "F_REJECT", "F_RAWPID", "F_SENDMAIL",  "F_SENTMAIL", "F_SENTADMIN"};
  auto stamp = [](int64_t when) {
    return std::to_string(when) + " " + callvane::time_text(when) + "\n";
  };
  std::string t = "Version: 3\n";
  for (const recipient& r : p.rcpts) {
    if (r.holduntil != 0) t += "Holduntil: " + stamp(r.holduntil);
    if (r.lasttry != 0) t += "Lasttry: " + stamp(r.lasttry);
    t += "Tries: " + std::to_string(r.tries) + "\n";
    if (r.goodtries != 0) t += "Goodtries: " + std::to_string(r.goodtries) + "\n";
    if (r.flags != 0) {
      t += "Flags: " + std::to_string(r.flags) + " (";
      for (int bit = 0; bit < 13; bit++)
        if (r.flags & (1u << bit)) t += std::string(" ") + names[bit];
      t += " )\n";
    }
    t += "Pager: " + r.pager + "\n";
  }
  t += "-\n";
  if (p.from) t += "From: " + *p.from + "\n";
  if (p.hostname) t += "Hostname: " + *p.hostname + "\n";
  t += "Bytes: " + std::to_string(p.message.size() + 11) + "\n";
  t += "Message: " + p.message + "\n";
  t += "Created: " + stamp(p.created);
  t += "UniqueID: " + p.id + "\n";
  return t;
}

// A spool, a device lock directory and a configuration around them, all
// usable by the unprivileged user the program runs as.
class spool {
 public:
  static constexpr uid_t RUN_AS = 10;  // uucp

  spool() {
    chmod(root_.path().c_str(), 0777);
    mkdir(dir().c_str(), 0777);
    chmod(dir().c_str(), 0777);
    mkdir(root_.file("locks").c_str(), 0777);
    chmod(root_.file("locks").c_str(), 01777);
  }
  const std::string& root() const { return root_.path(); }
  std::string dir() const { return root_.file("spool"); }
  std::string file(const std::string& name) const { return dir() + "/" + name; }

  // Puts a queue file into the spool, owned by the run-as user.
  std::string put(const std::string& name, const std::string& text) const {
    std::string path = root_.write("spool/" + name, text);
    if (chown(path.c_str(), RUN_AS, RUN_AS) != 0) ADD_FAILURE() << "cannot chown " << path;
    return path;
  }

  // A configuration of one service on `device` (/dev/null: every attempt
  // finds no usable modem) with pagers alice and bob; maxtries is 3.
  std::string config(const std::string& device, const std::string& extra = "") const {
    return root_.write("callvane.conf", "queuedir=" + dir() + "\nlockdir=" + root_.file("locks") +
                                            "\nmodem=sim device=" + device +
                                            "\nservice=default device=sim phone=5550100 "
                                            "password=pw maxtries=3\n"
                                            "pager=alice pagerid=1111111\n"
                                            "pager=bob pagerid=2222222\n" +
                                            extra);
  }

  std::vector<std::string> names() const { return testsupport::dir_names(dir()); }

 private:
  testsupport::temp_dir root_;
};

}  // namespace spooltest
