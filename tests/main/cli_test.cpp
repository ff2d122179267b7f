#include "main/cli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/settings.h"
#include "common/text.h"
#include "support/support.h"

namespace callvane {
namespace {

using testsupport::capture_fd;
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
    options fresh;
    opt_ = std::move(fresh);
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
    options fresh;
    opt_ = std::move(fresh);
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
  options fresh;
  opt_ = std::move(fresh);
  ASSERT_EQ(-1, parse({"--", "-p", "x"}));
  EXPECT_EQ((names{"-p", "x"}), opt_.args);
}

TEST_F(ParseOptions, ParsingCanRunAgain) {
  ASSERT_EQ(-1, parse({"-p", "a", "one"}));
  options second;
  opt_ = std::move(second);
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
  options fresh;
  opt_ = std::move(fresh);
  interactive = false;
  EXPECT_EQ(255, parse({"-i", "-q", "60"}));
  EXPECT_EQ("Error: -q not valid with -i option\n", err_);
  options again;
  opt_ = std::move(again);
  interactive = false;
  EXPECT_EQ(-1, parse({"-i", "-p", "x"}));
  EXPECT_TRUE(interactive);
  EXPECT_FALSE(opt_.daemon);
}

TEST_F(ParseOptions, VersionAndHelpEndTheParse) {
  EXPECT_EQ(0, parse({"-v", "-x"}));
  EXPECT_EQ(BANNER, out_);
  EXPECT_EQ("", err_);
  options fresh;
  opt_ = std::move(fresh);
  EXPECT_EQ(255, parse({"-h", "-v"}));
  EXPECT_EQ(usage_for("callvane"), out_);
  // Options act in order: an error before -v wins.
  options third;
  opt_ = std::move(third);
  EXPECT_EQ(255, parse({"-l", "99", "-v"}));
  EXPECT_EQ("", out_);
}

TEST_F(ParseOptions, UnknownOptionAndMissingArgumentPrintUsage) {
  EXPECT_EQ(255, parse({"-x", "pager"}));
  EXPECT_EQ(usage_for("callvane"), out_);
  EXPECT_NE("", err_);  // the C library's own complaint
  for (const char* letter : {"-a", "-c", "-C", "-f", "-l", "-p", "-P", "-q", "-s", "-t"}) {
    options fresh;
    opt_ = std::move(fresh);
    EXPECT_EQ(255, parse({"-d", letter})) << letter;
    EXPECT_EQ(usage_for("callvane"), out_) << letter;
  }
}

TEST_F(ParseOptions, SenderChoice) {
  {
    options o;
    o.sender = "alice";
    o.pg.from = "from-mail";
    choose_sender(o);
    ASSERT_TRUE(o.pg.from.has_value());
    EXPECT_EQ("alice", *o.pg.from);
  }
  {
    options o;
    o.pg.from = "from-mail";
    choose_sender(o);
    ASSERT_TRUE(o.pg.from.has_value());
    EXPECT_EQ("from-mail", *o.pg.from);
  }
  {
    options o;
    choose_sender(o);
    ASSERT_TRUE(o.pg.from.has_value());
    EXPECT_EQ(current_user(), *o.pg.from);
  }
  {
    options o;
    o.sender = "";
    choose_sender(o);
    EXPECT_FALSE(o.pg.from.has_value());
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
  EXPECT_NE(std::string::npos, r.err.find("z")) << r.err;
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
  for (int i = 0; i < 500; i++) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    std::string line;
    std::getline(f, line);
    if (line.rfind(want, 0) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
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

// ------------------------------------------- the client against a fake server

// Runs the program in a child with private network and mount namespaces:
// only loopback, a fake SNPP server on 127.0.0.1 port 444 that accepts
// everything, and (optionally) a servers file of our own.
struct fake_session {
  bool ok = false;
  std::string why;
  run_result result;
  std::vector<std::string> lines;  // what the server received
};

enum class servers_file { none, text, directory };

void serve_one(int listener, const std::string& transcript) {
  std::ofstream log(transcript, std::ios::binary);
  struct pollfd pfd = {listener, POLLIN, 0};
  if (poll(&pfd, 1, 10000) <= 0) return;
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  auto say = [&](const char* text) {
    ssize_t w = write(fd, text, strlen(text));
    (void)w;
  };
  say("220 fake SNPP server ready\r\n");
  std::string line;
  bool in_data = false;
  char c;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0 || read(fd, &c, 1) != 1) break;
    if (c != '\n') {
      line.push_back(c);
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    log << line << "\n";
    log.flush();
    if (in_data) {
      if (line == ".") {
        in_data = false;
        say("250 Message OK\r\n");
      }
    } else if (line.rfind("DATA", 0) == 0) {
      in_data = true;
      say("354 Begin Input; End with <CRLF>'.'<CRLF>\r\n");
    } else if (line.rfind("QUIT", 0) == 0) {
      say("221 OK, Goodbye\r\n");
      break;
    } else {
      say("250 OK\r\n");
    }
    line.clear();
  }
  close(fd);
}

fake_session with_fake_server(const std::vector<std::string>& args, run_options opts,
                              servers_file file = servers_file::none,
                              const std::string& file_text = "") {
  fake_session s;
  if (geteuid() != 0) {
    s.why = "needs root for namespaces";
    return s;
  }
  testsupport::temp_dir dir;
  std::string status_path = dir.file("status"), transcript = dir.file("transcript");
  pid_t pid = fork();
  if (pid < 0) return s;
  if (pid == 0) {
    auto fail = [&](const char* what) {
      std::ofstream(status_path) << "E" << what << ": " << strerror(errno);
      _exit(1);
    };
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) fail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) fail("private");
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr = {};
    strcpy(ifr.ifr_name, "lo");
    if (ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) fail("lo flags");
    ifr.ifr_flags |= IFF_UP;
    if (ioctl(sock, SIOCSIFFLAGS, &ifr) != 0) fail("lo up");
    close(sock);
    if (mount("tmpfs", "/usr/local/etc", "tmpfs", 0, "mode=0755") != 0) fail("tmpfs");
    if (file == servers_file::text) std::ofstream("/usr/local/etc/callvane.servers") << file_text;
    if (file == servers_file::directory) mkdir("/usr/local/etc/callvane.servers", 0755);

    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(444);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fail("bind");
    if (listen(listener, 5) != 0) fail("listen");
    pid_t server = fork();
    if (server == 0) {
      serve_one(listener, transcript);
      _exit(0);
    }
    close(listener);
    opts.limit = std::chrono::milliseconds(15000);
    run_result r = run_callvane(args, opts);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::ofstream out(status_path, std::ios::binary);
    out << "S" << r.status << "\n" << r.out.size() << "\n" << r.out << r.err;
    out.close();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::string report = testsupport::read_file(status_path);
  if (report.empty() || report[0] != 'S') {
    s.why = report.empty() ? "no report" : report.substr(1);
    return s;
  }
  size_t nl = report.find('\n');
  s.result.status = std::stoi(report.substr(1, nl - 1));
  size_t nl2 = report.find('\n', nl + 1);
  size_t out_size = std::stoul(report.substr(nl + 1, nl2 - nl - 1));
  s.result.out = report.substr(nl2 + 1, out_size);
  s.result.err = report.substr(nl2 + 1 + out_size);
  std::string text = testsupport::read_file(transcript);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    s.lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  s.ok = true;
  return s;
}

run_options no_server_env() {
  run_options o;
  o.env["SNPP_SERVER"] = std::nullopt;
  return o;
}

TEST(ClientMode, WordsAfterTheRecipientAreTheMessage) {
  auto s = with_fake_server({"-s", "127.0.0.1", "-f", "", "pager", "-oops-", "call", "me"},
                            no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  // An empty sender: no CALLerid at all.
  EXPECT_EQ((names{"PAGEr pager", "DATA", "-oops- call me", ".", "SEND", "QUIT"}), s.lines);
}

TEST(ClientMode, RecipientsAreSentNewestFirstWithTheirOptions) {
  auto s = with_fake_server(
      {"-s", "127.0.0.1", "-f", "alice", "-l", "3", "-p", "a,b", "-c", "metro", "-P", "c", "hi"},
      no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_EQ((names{"CALLerid alice", "COVErage metro", "PAGEr c", "LEVEl 3", "PAGEr b", "LEVEl 3",
                   "PAGEr a", "DATA", "hi", ".", "SEND", "QUIT"}),
            s.lines);
}

TEST(ClientMode, SenderDefaultsToTheCurrentUser) {
  auto s = with_fake_server({"-s", "127.0.0.1", "pager", "text"}, no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  ASSERT_FALSE(s.lines.empty());
  EXPECT_EQ("CALLerid " + current_user(), s.lines[0]);
}

TEST(ClientMode, ServersFileIsTriedInOrder) {
  auto s = with_fake_server({"-d", "pager", "text"}, no_server_env(), servers_file::text,
                            "127.0.0.2\n127.0.0.1\n");
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  size_t first = s.result.out.find("Connecting to SNPP server at 127.0.0.2\n");
  size_t second = s.result.out.find("Connecting to SNPP server at 127.0.0.1\n");
  ASSERT_NE(std::string::npos, first) << s.result.out;
  ASSERT_NE(std::string::npos, second) << s.result.out;
  EXPECT_LT(first, second);
  EXPECT_NE(std::string::npos, s.result.err.find("127.0.0.2")) << s.result.err;
  EXPECT_FALSE(s.lines.empty());
}

TEST(ClientMode, WithoutAnyListTheClientUsesLocalhost) {
  auto s = with_fake_server({"-d", "pager", "text"}, no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_NE(std::string::npos, s.result.out.find("Connecting to SNPP server at localhost\n"))
      << s.result.out;
}

TEST(ClientMode, EnvironmentBeforeFileAndOptionBeforeEnvironment) {
  run_options env = no_server_env();
  env.env["SNPP_SERVER"] = "127.0.0.1";
  auto s = with_fake_server({"-d", "pager", "text"}, env, servers_file::text, "127.0.0.3\n");
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_EQ(std::string::npos, s.result.out.find("127.0.0.3"));

  env.env["SNPP_SERVER"] = "127.0.0.3";
  s = with_fake_server({"-d", "-s", "127.0.0.1", "pager", "text"}, env);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_EQ(std::string::npos, s.result.out.find("127.0.0.3"));
}

TEST(ClientMode, EmptyListsFallBackToLocalhost) {
  // An empty variable or a file naming no server counts as not given.
  run_options env = no_server_env();
  env.env["SNPP_SERVER"] = "";
  auto s = with_fake_server({"-d", "pager", "text"}, env, servers_file::text, " \n,\n");
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_NE(std::string::npos, s.result.out.find("Connecting to SNPP server at localhost\n"))
      << s.result.out;
}

TEST(ClientMode, UnreadableServersFile) {
  auto s = with_fake_server({"pager", "text"}, no_server_env(), servers_file::directory);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(255, s.result.status);
  EXPECT_EQ(0u, s.result.err.rfind("read() failed: ", 0)) << s.result.err;
  EXPECT_TRUE(s.lines.empty());
}

TEST(ClientMode, MessageFromStandardInput) {
  run_options o = no_server_env();
  o.input = "first line\n  second\tline\n.\n";
  auto s = with_fake_server({"-s", "127.0.0.1", "-f", "", "pager"}, o);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_EQ((names{"PAGEr pager", "DATA", "first line second line", ".", "SEND", "QUIT"}), s.lines);
}

TEST(ClientMode, NoServerReachable) {
  auto s = with_fake_server({"-s", "127.0.0.2", "pager", "text"}, no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(255, s.result.status);
  EXPECT_TRUE(s.lines.empty());
}

}  // namespace
}  // namespace callvane
