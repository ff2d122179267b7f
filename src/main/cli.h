// Start-up, command line and run modes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/page.h"

namespace callvane {

// What the options asked for, gathered in command-line order.
struct options {
  page pg;
  bool have_recipient_option = false;  // a -p or -P created a recipient
  bool modifier_after_recipients = false;
  int64_t pending_holduntil = 0;
  std::optional<std::string> pending_coverage;
  int pending_level = 1;
  bool config_given = false;
  std::optional<std::string> sender;   // -f
  std::optional<std::string> servers;  // -s
  bool daemon = false;                 // -q given
  int interval = 0;
  bool list_queue = false;        // -Q
  bool mail_input = false;        // -m
  std::vector<std::string> args;  // the words after the options
};

// Parses the options. Returns -1 to go on, or the exit status of a mode that
// ended during parsing (usage, version, an error).
int parse_options(int argc, char** argv, options& opt);

// Adds one recipient per name in a list split at ",", "/" and ":"; each new
// recipient goes to the head of the page's list.
void add_recipient_list(options& opt, const std::string& list);

// Recipients from the first word after the options when no -p/-P made any
// (it is consumed: `next_arg` moves past it), and the rule that -a, -c and
// -l come before the -p/-P they affect. Returns -1 to go on, else the exit
// status after the error message.
int take_recipients(options& opt, size_t& next_arg);

// The page's sender: -f, else one an e-mail gave, else the current user. An
// empty sender is none (anonymous).
void choose_sender(options& opt);

// The whole program: start-up, options, one run mode. Returns the status.
int program_main(int argc, char** argv);

// Banner and usage text, on standard output.
void print_banner();
void print_usage(const char* program);

}  // namespace callvane
