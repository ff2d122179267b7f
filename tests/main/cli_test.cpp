// Command-line parsing in process, and the program's usage, errors and signals from outside.
#include "main/cli.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/text.h"
#include "support/support.h"
#include "support/wait.h"

namespace callvane {
namespace {

using testsupport::capture_fd;
using testsupport::contains;
using testsupport::run_callvane;
using testsupport::run_options;
using testsupport::run_result;

const char USAGE_BODY[] =
    "\n"
    "Options:\n"
    "    -a [+]hhmm    send the page at the specified time\n"
    "    -c coverage   coverage area (service name) for pager\n"
    "    -C config     use an alternate configuration file\n"
    "    -d            debug mode\n"
    "    -f from       who the page is from\n"
    "    -h            help (this screen)\n"
    "    -i            interactive mode\n"
    "    -l level      level of service\n"
    "    -m            read an e-mail message as client input\n"
    "    -p pager      pager id to recieve the message\n"
    "    -P pager      same as -p but don't reset -[acl]\n"
    "    -q xxx        process the queue every xxx seconds\n"
    "    -Q            show the pages currently in the queue\n"
    "    -s server     name of SNPP the server (default=localhost)\n"
    "    -v            print callvane version and exit\n"
    "\n";

const char BANNER[] = "\nCallvane v3.3\n\n";

std::string usage_for(const std::string& program) {
  return std::string(BANNER) + "Usage: " + program + " [ options ] [ pagerid ] [ message ]\n" +
         USAGE_BODY;
}

const char BEFORE[] = "The -a, -c and -l options must come *before* the pagerids they affect\n";

// ------------------------------------------------------------- in-process parse

class ParseOptions : public ::testing::Test {
 protected:
  void TearDown() override {
    debug = 0;
    interactive = false;
    configfile = DEFAULT_CONFIGFILE;
  }

  // Parses a command line (the program name is added); stdout and stderr
  // are kept in out_ and err_.
  int parse(std::vector<std::string> words) {
    words.insert(words.begin(), "callvane");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    capture_fd out(STDOUT_FILENO);
    capture_fd err(STDERR_FILENO);
    int status = parse_options(static_cast<int>(words.size()), argv.data(), opt_);
    err_ = err.finish();
    out_ = out.finish();
    return status;
  }

  std::vector<std::string> pagers() const {
    std::vector<std::string> names;
    for (const rcpt& r : opt_.pg.rcpts) names.push_back(r.pager);
    return names;
  }

  const rcpt& find(const std::string& name) const {
    for (const rcpt& r : opt_.pg.rcpts)
      if (r.pager == name) return r;
    static rcpt none;
    ADD_FAILURE() << "no recipient " << name;
    return none;
  }

  options opt_;
  std::string out_, err_;
};

using names = std::vector<std::string>;

TEST_F(ParseOptions, RecipientListIsSplitAndHeldNewestFirst) {
  ASSERT_EQ(-1, parse({"-p", "a,b/c:d", "hello"}));
  EXPECT_EQ((names{"d", "c", "b", "a"}), pagers());
  for (const rcpt& r : opt_.pg.rcpts) {
    EXPECT_EQ(1, r.servicelevel);
    EXPECT_FALSE(r.coverage.has_value());
    EXPECT_EQ(0, r.holduntil);
    EXPECT_EQ(0u, r.flags);
    EXPECT_EQ(0, r.tries);
    EXPECT_EQ(0, r.goodtries);
    EXPECT_EQ(0, r.lasttry);
  }
  EXPECT_TRUE(opt_.have_recipient_option);
  EXPECT_EQ((names{"hello"}), opt_.args);
}

TEST_F(ParseOptions, EmptyNamesAreSkipped) {
  ASSERT_EQ(-1, parse({"-p", ",,x,,/:y:", "-P", "z"}));
  EXPECT_EQ((names{"z", "y", "x"}), pagers());
  options other;
  add_recipient_list(other, "");
  add_recipient_list(other, ",/:");
  EXPECT_TRUE(other.pg.rcpts.empty());
}

TEST_F(ParseOptions, RecipientOptionWithOnlySeparatorsMakesNoRecipient) {
  ASSERT_EQ(-1, parse({"-p", ",/,", "pager", "msg"}));
  EXPECT_TRUE(opt_.pg.rcpts.empty());
  EXPECT_FALSE(opt_.have_recipient_option);
  size_t next = 0;
  ASSERT_EQ(-1, take_recipients(opt_, next));
  EXPECT_EQ((names{"pager"}), pagers());
  EXPECT_EQ(1u, next);
}

TEST_F(ParseOptions, LowerCasePResetsThePendingValues) {
  ASSERT_EQ(-1, parse({"-l", "5", "-p", "x", "-p", "y"}));
  EXPECT_EQ(5, find("x").servicelevel);
  EXPECT_EQ(1, find("y").servicelevel);
}

TEST_F(ParseOptions, UpperCasePKeepsThePendingValues) {
  ASSERT_EQ(-1, parse({"-l", "5", "-P", "x", "-P", "y"}));
  EXPECT_EQ(5, find("x").servicelevel);
  EXPECT_EQ(5, find("y").servicelevel);
}

TEST_F(ParseOptions, CoverageAndHoldTimeGoToTheNextRecipients) {
  int64_t before = time(nullptr);
  ASSERT_EQ(-1, parse({"-c", "first", "-c", "metro", "-a", "+30", "-P", "x", "-l", "0", "-p", "y,z",
                       "-p", "w"}));
  int64_t after = time(nullptr);
  for (const char* name : {"x", "y", "z"}) {
    const rcpt& r = find(name);
    ASSERT_TRUE(r.coverage.has_value()) << name;
    EXPECT_EQ("metro", *r.coverage);
    EXPECT_GE(r.holduntil, before + 1800);
    EXPECT_LE(r.holduntil, after + 1800);
  }
  EXPECT_EQ(1, find("x").servicelevel);
  EXPECT_EQ(0, find("y").servicelevel);
  EXPECT_EQ(0, find("z").servicelevel);
  const rcpt& w = find("w");
  EXPECT_FALSE(w.coverage.has_value());
  EXPECT_EQ(0, w.holduntil);
  EXPECT_EQ(1, w.servicelevel);
  EXPECT_EQ((names{"w", "z", "y", "x"}), pagers());
  EXPECT_FALSE(opt_.modifier_after_recipients);
}

TEST_F(ParseOptions, TIsTheSameAsA) {
  int64_t before = time(nullptr);
  ASSERT_EQ(-1, parse({"-t", "+1+0000", "-p", "x"}));
  EXPECT_GE(find("x").holduntil, before + 86400);
  EXPECT_LE(find("x").holduntil, before + 86401);
}

TEST_F(ParseOptions, InvalidTime) {
  EXPECT_EQ(255, parse({"-a", "12345", "-p", "x"}));
  EXPECT_EQ("Invalid time: 12345\n", err_);
  EXPECT_EQ(255, parse({"-t", "9x"}));
  EXPECT_EQ("Invalid time: 9x\n", err_);
}

TEST_F(ParseOptions, LevelRange) {
  EXPECT_EQ(255, parse({"-l", "12", "x"}));
  EXPECT_EQ("Level must be between 0 and 11\n", err_);
  EXPECT_EQ(255, parse({"-l", "-1", "x"}));
  EXPECT_EQ("Level must be between 0 and 11\n", err_);
  EXPECT_EQ(255, parse({"-l", "4294967301", "x"}));
  EXPECT_EQ("Level must be between 0 and 11\n", err_);
  EXPECT_EQ("", out_);
  for (const char* level : {"0", "11"}) {
    opt_ = options{};
    EXPECT_EQ(-1, parse({"-l", level, "-p", "x"})) << level;
    EXPECT_EQ(atoi(level), find("x").servicelevel);
  }
}

TEST_F(ParseOptions, ModifierAfterTheLastRecipientOption) {
  ASSERT_EQ(-1, parse({"-p", "x", "-l", "3", "msg"}));
  EXPECT_TRUE(opt_.modifier_after_recipients);
  size_t next = 0;
  capture_fd err(STDERR_FILENO);
  int status = take_recipients(opt_, next);
  EXPECT_EQ(BEFORE, err.finish());
  EXPECT_EQ(255, status);
}

TEST_F(ParseOptions, ModifierClearedByALaterRecipientOption) {
  for (const char* letter : {"-p", "-P"}) {
    opt_ = options{};
    ASSERT_EQ(-1, parse({"-p", "x", "-c", "metro", letter, "y"}));
    EXPECT_FALSE(opt_.modifier_after_recipients) << letter;
    size_t next = 0;
    EXPECT_EQ(-1, take_recipients(opt_, next));
    EXPECT_EQ(0u, next);
  }
}

TEST_F(ParseOptions, ModifiersBeforeABareRecipientApplyToIt) {
  ASSERT_EQ(-1, parse({"-l", "3", "-c", "metro", "x,y", "the", "message"}));
  EXPECT_TRUE(opt_.pg.rcpts.empty());
  size_t next = 0;
  ASSERT_EQ(-1, take_recipients(opt_, next));
  EXPECT_EQ((names{"y", "x"}), pagers());
  EXPECT_EQ(3, find("x").servicelevel);
  ASSERT_TRUE(find("y").coverage.has_value());
  EXPECT_EQ("metro", *find("y").coverage);
  EXPECT_EQ(1u, next);
}

TEST_F(ParseOptions, NoRecipients) {
  ASSERT_EQ(-1, parse({}));
  size_t next = 0;
  capture_fd err(STDERR_FILENO);
  EXPECT_EQ(255, take_recipients(opt_, next));
  EXPECT_EQ("No recipients!\n", err.finish());
}

TEST_F(ParseOptions, FirstWordOfOnlySeparatorsIsConsumed) {
  ASSERT_EQ(-1, parse({",", "msg"}));
  size_t next = 0;
  capture_fd err(STDERR_FILENO);
  EXPECT_EQ(255, take_recipients(opt_, next));
  EXPECT_EQ("No recipients!\n", err.finish());
}

TEST_F(ParseOptions, ParsingStopsAtTheFirstNonOption) {
  ASSERT_EQ(-1, parse({"-d", "pager", "-oops-", "call", "me", "-v"}));
  EXPECT_EQ((names{"pager", "-oops-", "call", "me", "-v"}), opt_.args);
  EXPECT_EQ("", out_);
  EXPECT_EQ("", err_);
  EXPECT_EQ(1, debug);
  opt_ = options{};
  ASSERT_EQ(-1, parse({"--", "-p", "x"}));
  EXPECT_EQ((names{"-p", "x"}), opt_.args);
}

TEST_F(ParseOptions, ParsingCanRunAgain) {
  ASSERT_EQ(-1, parse({"-p", "a", "one"}));
  opt_ = options{};
  ASSERT_EQ(-1, parse({"-P", "b", "two", "three"}));
  EXPECT_EQ((names{"b"}), pagers());
  EXPECT_EQ((names{"two", "three"}), opt_.args);
}

TEST_F(ParseOptions, SimpleSettings) {
  ASSERT_EQ(-1, parse({"-d", "-d", "-C", "/tmp/alt.conf", "-f", "bob", "-f", "carol", "-s",
                       "alpha,beta", "-m", "-Q", "-q", "0"}));
  EXPECT_EQ(2, debug);
  EXPECT_EQ("/tmp/alt.conf", configfile);
  EXPECT_TRUE(opt_.config_given);
  ASSERT_TRUE(opt_.sender.has_value());
  EXPECT_EQ("carol", *opt_.sender);
  ASSERT_TRUE(opt_.servers.has_value());
  EXPECT_EQ("alpha,beta", *opt_.servers);
  EXPECT_TRUE(opt_.mail_input);
  EXPECT_TRUE(opt_.list_queue);
  EXPECT_TRUE(opt_.daemon);
  EXPECT_EQ(0, opt_.interval);
  EXPECT_FALSE(interactive);
}

TEST_F(ParseOptions, InteractiveAndQueueExcludeEachOther) {
  EXPECT_EQ(255, parse({"-q", "60", "-i"}));
  EXPECT_EQ("Error: -i not valid with -q option\n", err_);
  opt_ = options{};
  interactive = false;
  EXPECT_EQ(255, parse({"-i", "-q", "60"}));
  EXPECT_EQ("Error: -q not valid with -i option\n", err_);
  opt_ = options{};
  interactive = false;
  EXPECT_EQ(-1, parse({"-i", "-p", "x"}));
  EXPECT_TRUE(interactive);
  EXPECT_FALSE(opt_.daemon);
}

TEST_F(ParseOptions, VersionAndHelpEndTheParse) {
  EXPECT_EQ(0, parse({"-v", "-x"}));
  EXPECT_EQ(BANNER, out_);
  EXPECT_EQ("", err_);
  opt_ = options{};
  EXPECT_EQ(255, parse({"-h", "-v"}));
  EXPECT_EQ(usage_for("callvane"), out_);
  // Options act in order: an error before -v wins.
  opt_ = options{};
  EXPECT_EQ(255, parse({"-l", "99", "-v"}));
  EXPECT_EQ("", out_);
}

TEST_F(ParseOptions, UnknownOptionAndMissingArgumentPrintUsage) {
  EXPECT_EQ(255, parse({"-x", "pager"}));
  EXPECT_EQ(usage_for("callvane"), out_);
  EXPECT_NE("", err_);  // the C library's own complaint
  for (const char* letter : {"-a", "-c", "-C", "-f", "-l", "-p", "-P", "-q", "-s", "-t"}) {
    opt_ = options{};
    EXPECT_EQ(255, parse({"-d", letter})) << letter;
    EXPECT_EQ(usage_for("callvane"), out_) << letter;
  }
}

TEST_F(ParseOptions, SenderChoice) {
  const struct {
    const char* name;
    std::optional<std::string> sender, from_mail, chosen;
  } cases[] = {
      {"option first", "alice", "from-mail", "alice"},
      {"then the mail", std::nullopt, "from-mail", "from-mail"},
      {"then the user", std::nullopt, std::nullopt, current_user()},
      {"empty means none", "", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    options o;
    o.sender = c.sender;
    o.pg.from = c.from_mail;
    choose_sender(o);
    EXPECT_EQ(c.chosen, o.pg.from) << c.name;
  }
}

// --------------------------------------------------------- the program outside

TEST(Program, UsageTextByteForByte) {
  run_result r = run_callvane({"-h"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(usage_for(testsupport::callvane_path()), r.out);
  EXPECT_EQ("", r.err);
}

TEST(Program, UsageShowsTheInvocationName) {
  run_result r = testsupport::run({testsupport::callvane_path(), "-h"});
  EXPECT_EQ(usage_for(testsupport::callvane_path()), r.out);
}

TEST(Program, UnknownOptionPrintsUsage) {
  run_result r = run_callvane({"-z", "pager", "msg"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(usage_for(testsupport::callvane_path()), r.out);
  EXPECT_TRUE(contains(r.err, "z"));
  r = run_callvane({"-p"});
  EXPECT_EQ(255, r.status);
  EXPECT_EQ(usage_for(testsupport::callvane_path()), r.out);
}

TEST(Program, Version) {
  run_result r = run_callvane({"-v"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(BANNER, r.out);
  EXPECT_EQ("", r.err);
  r = run_callvane({"-d", "-v", "-h"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(BANNER, r.out);
}

struct error_case {
  std::vector<std::string> args;
  std::string err;
};

TEST(Program, ErrorMessagesAndStatus) {
  const std::vector<error_case> cases = {
      {{}, "No recipients!\n"},
      {{",:/"}, "No recipients!\n"},
      {{"-l", "5"}, "No recipients!\n"},
      {{"pager"}, "No message!\n"},
      {{"-p", "x"}, "No message!\n"},
      {{"-p", "x", ""}, "No message!\n"},
      {{"-C", "/tmp/x.conf", "pager", "msg"}, "Error: -C not allowed in client mode\n"},
      {{"-C", "/tmp/x.conf", "-Q"}, "Error: -C not allowed in client mode\n"},
      {{"-q", "60", "-i"}, "Error: -i not valid with -q option\n"},
      {{"-i", "-q", "60"}, "Error: -q not valid with -i option\n"},
      {{"-l", "12", "x", "msg"}, "Level must be between 0 and 11\n"},
      {{"-l", "-1", "x", "msg"}, "Level must be between 0 and 11\n"},
      {{"-a", "99999", "x", "msg"}, "Invalid time: 99999\n"},
      {{"-t", "abc", "x", "msg"}, "Invalid time: abc\n"},
      {{"-p", "x", "-l", "3", "msg"}, BEFORE},
      {{"-P", "x", "-c", "metro", "msg"}, BEFORE},
      {{"-p", "x", "-a", "+5", "msg"}, BEFORE},
      {{"-p", "x", "-t", "+5", "msg"}, BEFORE},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    run_result r = run_callvane(c.args);
    EXPECT_EQ(255, r.status) << shown;
    EXPECT_EQ(c.err, r.err) << shown;
    EXPECT_EQ("", r.out) << shown;
  }
}

TEST(Program, AcceptedModifiersReachTheMessageStep) {
  // Each of these passes the option checks; with no message words and an
  // empty standard input the next complaint is about the message.
  const std::vector<std::vector<std::string>> accepted = {
      {"-l", "0", "-p", "x"},
      {"-l", "11", "x"},
      {"-l", "3", "x"},
      {"-c", "metro", "-a", "+30", "-P", "x", "-p", "y"},
      {"-p", "x", "-f", "someone", "-d", "-s", "host"},
  };
  for (const auto& args : accepted) {
    run_result r = run_callvane(args);
    EXPECT_EQ(255, r.status) << args[0] << args[1];
    EXPECT_EQ("No message!\n", r.err) << args[0] << args[1];
  }
}

TEST(Program, ConfigurationThatFailsToLoad) {
  testsupport::temp_dir dir;
  std::string missing = dir.file("missing.conf");
  const std::vector<std::vector<std::string>> modes = {
      {"-C", missing, "-q", "0"},
      {"-C", missing, "-Q", "-q", "0"},
      {"-C", missing, "-i", "pager", "msg"},
  };
  const std::string tail = "Error reading configuration file\n";
  for (const auto& args : modes) {
    run_result r = run_callvane(args);
    EXPECT_EQ(255, r.status) << args[2];
    ASSERT_GE(r.err.size(), tail.size()) << args[2];
    EXPECT_EQ(tail, r.err.substr(r.err.size() - tail.size())) << args[2];
  }
}

// Waits until `pid` sits in a read of its standard input.
bool wait_for_stdin_read(pid_t pid) {
  std::string want = std::to_string(SYS_read) + " 0x0 ";
  return testsupport::wait_until(
      [&] {
        std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
        std::string line;
        std::getline(f, line);
        return line.rfind(want, 0) == 0;
      },
      std::chrono::seconds(5));
}

TEST(Program, SigtermWhileWaitingForTheMessage) {
  int in[2], err[2];
  ASSERT_EQ(0, pipe(in));
  ASSERT_EQ(0, pipe(err));
  std::string path = testsupport::callvane_path();
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(in[0]);
    close(in[1]);
    close(err[0]);
    close(err[1]);
    execl(path.c_str(), "callvane", "-d", "pager", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(in[0]);
  close(err[1]);
  bool waiting = wait_for_stdin_read(pid);
  // Start-up installed the five handlers.
  unsigned long long caught = 0;
  {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
      if (line.rfind("SigCgt:", 0) == 0) caught = std::stoull(line.substr(7), nullptr, 16);
  }
  kill(pid, SIGTERM);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = read(err[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  close(err[0]);
  close(in[1]);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(waiting);
  for (int sig : {SIGALRM, SIGTERM, SIGCHLD, SIGHUP, SIGUSR1})
    EXPECT_NE(0ull, caught & (1ull << (sig - 1))) << sig;
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_EQ("caught SIGTERM, exiting...\n", text);
}

}  // namespace
}  // namespace callvane
