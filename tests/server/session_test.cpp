// The SNPP session driven over a socket pair, as a client would drive it.
#include "server/session.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/instream.h"
#include "common/sendtime.h"
#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"
#include "config/loader.h"
#include "queue/queuefile.h"
#include "support/daemon_run.h"
#include "support/support.h"
#include "support/wait.h"

namespace callvane {
namespace {

using testsupport::temp_dir;

constexpr const char* CONNECTION_ID = "LHBx042";
constexpr int REPLY_WAIT_MS = 15000;

// One session in a forked child: its standard output and page.input are
// one end of a socket pair, the test holds the other. The child works in
// `spool`, so queue files land there; its standard error goes to a file.
class connection {
 public:
  explicit connection(const std::string& spool, std::optional<std::string> ident = {}) {
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv_) != 0) throw std::runtime_error("socketpair");
    err_path_ = logs_.file("err");
    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(sv_[0]);
      FILE* err = freopen(err_path_.c_str(), "w", stderr);
      if (err == nullptr || chdir(spool.c_str()) != 0 || dup2(sv_[1], STDIN_FILENO) < 0 ||
          dup2(sv_[1], STDOUT_FILENO) < 0)
        _exit(99);
      in_stream in(STDIN_FILENO);
      page p;
      p.input = &in;
      p.messageid = CONNECTION_ID;
      p.ident = std::move(ident);
      p.hostname = "client.example";
      int result = snpp(p);
      fflush(nullptr);
      _exit(result == 0 ? 0 : 1);
    }
    close(sv_[1]);
    peer_.emplace(testsupport::snpp_connection::adopt{sv_[0]});
  }
  // A session still running sees its connection close and ends.
  ~connection() {
    peer_->close();
    if (pid_ > 0) finish();
  }

  void send(const std::string& bytes) { ASSERT_TRUE(peer_->send(bytes)); }
  // The next reply line without its CR LF; "<closed>" or "<silent>" else.
  std::string line() {
    return peer_->line(std::chrono::milliseconds(REPLY_WAIT_MS))
        .value_or(peer_->closed() ? "<closed>" : "<silent>");
  }
  std::string ask(const std::string& command) {
    send(command + "\r\n");
    return line();
  }
  // Sends each command and checks its one reply.
  void script(const std::vector<std::pair<std::string, std::string>>& steps) {
    for (const auto& [command, reply] : steps) EXPECT_EQ(ask(command), reply) << command;
  }
  void end_input() { shutdown(peer_->fd(), SHUT_WR); }
  void hang_up() { peer_->close(); }
  // Waits for the child (at most 20 s): 0 after QUIT, 1 otherwise.
  int finish() {
    int status = 0;
    if (!testsupport::wait_until([&] { return waitpid(pid_, &status, WNOHANG) != 0; },
                                 std::chrono::seconds(20), std::chrono::milliseconds(100))) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  pid_t pid() const { return pid_; }
  std::string err() const { return testsupport::read_file(err_path_); }

 private:
  int sv_[2];
  pid_t pid_ = -1;
  temp_dir logs_;
  std::string err_path_;
  std::optional<testsupport::snpp_connection> peer_;
};

std::vector<std::string> queue_files(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] == 'P') names.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

const char* const QUEUED = "250 Pager ID accepted, message will not be delayed";

class Session : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_config();
    service& def = services.emplace_front();
    def.name = "default";
    def.allowpid = 1;
    defservice = &def;
    services.emplace_front().name = "alt";
    pager& bob = pagers.emplace_front();
    bob.name = "bob";
    bob.service = &def;
    pager& alice = pagers.emplace_front();
    alice.name = "alice";
    alice.text = "Alice Example";
    alice.service = &def;
    pgroup& g = groups.emplace_front();
    g.name = "oncall";
    g.text = "Whoever is on call";
    g.members.push_back(member{&alice, std::nullopt});
    pgroup& off = groups.emplace_front();
    off.name = "nobody";
    off.members.push_back(member{&bob, std::string("Any2200-0600")});
    snpptimeout = 10;
    synchronous = 1;
    debug = 0;
    daemon_pid = 0;
    chmod(spool_.path().c_str(), 0777);
  }
  void TearDown() override {
    clear_config();
    snpptimeout = 60;
    synchronous = 1;
    debug = 0;
    daemon_pid = 0;
  }
  // The single page queued so far.
  std::unique_ptr<page> only_page() {
    auto files = queue_files(spool_.path());
    EXPECT_EQ(files.size(), 1u);
    return files.size() == 1 ? read_page(files[0]) : nullptr;
  }
  temp_dir spool_;
};

TEST_F(Session, GreetsAndQuits) {
  connection c(spool_.path());
  EXPECT_TRUE(std::regex_match(c.line(), std::regex("220 Callvane v3\\.3 SNPP server ready at "
                                                    "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d "
                                                    "\\d\\d:\\d\\d:\\d\\d \\d{4}")));
  EXPECT_EQ(c.ask("quit"), "221 OK, goodbye");
  EXPECT_EQ(c.line(), "<closed>");
  EXPECT_EQ(c.finish(), 0);
}

TEST_F(Session, HelpInAnySpelling) {
  const std::vector<std::string> help = {"214 ",
                                         "214 Level 1 commands accepted:",
                                         "214 ",
                                         "214     PAGEr <pager ID>",
                                         "214     MESSage <alpha or numeric message>",
                                         "214     RESEt",
                                         "214     SEND",
                                         "214     QUIT",
                                         "214     HELP",
                                         "214 ",
                                         "214 Level 2 commands accepted:",
                                         "214 ",
                                         "214     DATA",
                                         "214     LOGIn <loginid> [password]",
                                         "214     LEVEl <ServiceLevel>",
                                         "214     COVErage <AlternateArea>",
                                         "214     HOLDuntil <YYMMDDHHMMSS> [+/-GMTdifference]",
                                         "214     CALLerid <CallerID>",
                                         "214 ",
                                         "214 Level 3 commands accepted:",
                                         "214 ",
                                         "214     none",
                                         "214 ",
                                         "250 OK"};
  connection c(spool_.path());
  c.line();
  for (const char* spelling : {"help", "HELP", "HELPME"}) {
    c.send(std::string(spelling) + "\r\n");
    std::vector<std::string> got;
    for (size_t i = 0; i < help.size(); i++) got.push_back(c.line());
    EXPECT_EQ(got, help) << spelling;
  }
  EXPECT_EQ(c.ask("QUIT"), "221 OK, goodbye");
}

TEST_F(Session, CommandsAndArguments) {
  connection c(spool_.path());
  c.line();
  c.script({
      {"PAG 123", "500 Command unrecognized"},
      {"PAGE", "550 Error, invalid pager ID"},
      {"PAGEZZZ alice", QUEUED},
      {"PAGEr nobody", "550 Error, no group members on duty"},
      {"PAGEr 12a", "550 Error, invalid pager ID"},
      {"PAGEr " + std::string(MAX_QUEUE_WORD + 1, '7'), "550 Error, invalid pager ID"},
      // a high-bit byte is no white space: all of it is the first word
      {"PAGEr\xa0"
       "123",
       "550 Error, invalid pager ID"},
      {"PAGEr 123 456", QUEUED},
      {"XDEBug", "500 Command unrecognized"},
      {"2way", "500 Command not implemented"},
      {"LOGIn me secret", "250 Login accepted"},
      {std::string("\0\0\0\0 alice", 10), "500 Command unrecognized"},
      {std::string("MESSage  hello\xc8\0  there\x01", 24), "250 Message ok"},
      {"SEND", "250 Message LHBx0420 queued for processing"},
  });
  auto p = only_page();
  ASSERT_TRUE(p);
  std::vector<std::string> names;
  for (const rcpt& r : p->rcpts) names.push_back(r.pager);
  EXPECT_EQ(names, (std::vector<std::string>{"alice", "123"}));
  EXPECT_EQ(p->message,
            "hello"
            "H there\x1a"
            "A");
  EXPECT_EQ(p->hostname, "client.example");
  EXPECT_EQ(p->messageid, "LHBx0420");
}

TEST_F(Session, PendingOptionsGoToTheNextAcceptedPager) {
  const std::string when_text = "301231235959";
  int64_t when = parse_holduntil(when_text);
  ASSERT_GT(when, 0);
  connection c(spool_.path());
  c.line();
  c.script({
      {"HOLDuntil " + when_text,
       std::string("250 Message for next PAGEr will be delayed until ") + time_text(when)},
      {"LEVEl 7 extra", "250 OK, alternate service level accepted"},
      {"LEVEl 12", "550 Error, invalid service level"},
      {"LEVEl 5x", "550 Error, invalid service level"},
      {"LEVEl", "550 Error, invalid service level"},
      {"LEVEl 99999999999999999999", "550 Error, invalid service level"},
      {"COVErage alt", "250 Alternate coverage selected"},
      {"PAGEr nosuch", "550 Error, invalid pager ID"},
      {"PAGEr alice", "250 Pager ID accepted, message will be delayed"},
      {"PAGEr bob", QUEUED},
      {"LEVEl 11", "250 OK, alternate service level accepted"},
      {"COVErage alt", "250 Alternate coverage selected"},
      {"COVErage elsewhere", "550 Error, invalid alternate region"},
      {"COVErage", "550 Error, invalid alternate region"},
      {"HOLDuntil", "550 Error, invalid delivery date/time"},
      {"PAGEr oncall", QUEUED},
      {"MESSage hi", "250 Message ok"},
      {"MESSage again", "503 Error, message already entered"},
      {"SEND", "250 Message LHBx0420 queued for processing"},
  });
  auto p = only_page();
  ASSERT_TRUE(p);
  ASSERT_EQ(p->rcpts.size(), 3u);
  struct expected {
    const char* pager;
    int64_t hold;
    std::optional<std::string> coverage;
    int level;
  };
  const expected want[] = {
      {"alice", when, "alt", 7}, {"bob", 0, std::nullopt, 1}, {"alice", 0, std::nullopt, 11}};
  size_t i = 0;
  for (const rcpt& r : p->rcpts) {  // read back, so in the order of the commands
    EXPECT_EQ(r.pager, want[i].pager) << i;
    EXPECT_EQ(r.holduntil, want[i].hold) << i;
    EXPECT_EQ(r.coverage, want[i].coverage) << i;
    EXPECT_EQ(r.servicelevel, want[i].level) << i;
    i++;
  }
  EXPECT_EQ(p->message, "hi");
}

TEST_F(Session, SendEmptiesAnIncompletePage) {
  connection c(spool_.path());
  c.line();
  c.script({
      {"MESSage lost", "250 Message ok"},
      {"SEND", "503 Error, no pager ID"},
      {"PAGEr alice", QUEUED},
      {"SEND", "503 Error, no message"},
      {"MESSage alone", "250 Message ok"},
      {"SEND", "503 Error, no pager ID"},
      {"PAGEr alice", QUEUED},
      {"RESEt", "250 Reset ok"},
      {"MESSage m", "250 Message ok"},
      {"SEND", "503 Error, no pager ID"},
  });
  EXPECT_TRUE(queue_files(spool_.path()).empty());
  // numbers are used only by SENDs that get as far as an id
  c.script({{"PAGEr alice", QUEUED},
            {"MESSage m", "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"}});
}

TEST_F(Session, TenErrorsAreAllowedAndResetStartsAgain) {
  connection c(spool_.path());
  c.line();
  for (int i = 0; i < 9; i++) EXPECT_EQ(c.ask("BOGUS"), "500 Command unrecognized");
  EXPECT_EQ(c.ask("RESEt"), "250 Reset ok");
  for (int i = 0; i < 50; i++) EXPECT_EQ(c.ask("ALERt"), "500 Command not implemented");
  EXPECT_EQ(c.ask("ab"), "500 Command unrecognized");
  EXPECT_EQ(c.ask(""), "500 Command unrecognized");  // an empty line counts
  for (int i = 2; i < 10; i++) EXPECT_EQ(c.ask("XQUEue"), "500 Command unrecognized");
  EXPECT_EQ(c.ask("BOGUS"), "421 Too many errors, goodbye");
  EXPECT_EQ(c.line(), "<closed>");
  EXPECT_EQ(c.finish(), 1);
}

TEST_F(Session, EndOfInputCountsAsErrors) {
  connection c(spool_.path());
  c.line();
  c.end_input();
  for (int i = 0; i < 10; i++) EXPECT_EQ(c.line(), "500 Command unrecognized");
  EXPECT_EQ(c.line(), "421 Too many errors, goodbye");
  EXPECT_EQ(c.finish(), 1);
}

TEST_F(Session, LastLineWithoutAnEnd) {
  connection c(spool_.path());
  c.line();
  c.send("QUIT");
  c.end_input();
  EXPECT_EQ(c.line(), "221 OK, goodbye");
  EXPECT_EQ(c.finish(), 0);
}

TEST_F(Session, TimeOuts) {
  snpptimeout = 2;
  for (bool in_data : {false, true}) {
    connection c(spool_.path());
    c.line();
    if (in_data) {
      EXPECT_EQ(c.ask("DATA"), "354 Begin input; end with <CRLF>'.'<CRLF>");
      c.send("part of a text\r\n");
    } else {
      c.send("PAGE");
    }
    EXPECT_EQ(c.line(), "421 Timeout, goodbye");
    EXPECT_EQ(c.finish(), 1);
  }
  EXPECT_TRUE(queue_files(spool_.path()).empty());
}

// A peer that sends commands but never reads the replies cannot hold the
// session for ever.
TEST_F(Session, PeerThatTakesNoRepliesIsLeft) {
  snpptimeout = 2;
  connection c(spool_.path());
  std::string flood;
  for (int i = 0; i < 2000; i++) flood += "HELP\r\n";  // far more replies than a socket holds
  c.send(flood);
  EXPECT_EQ(c.finish(), 1);
}

TEST_F(Session, DataText) {
  connection c(spool_.path());
  c.line();
  EXPECT_EQ(c.ask("DATA"), "354 Begin input; end with <CRLF>'.'<CRLF>");
  c.send(".\r\n");
  EXPECT_EQ(c.line(), "550 Empty message not allowed");
  EXPECT_EQ(c.ask("DATA"), "354 Begin input; end with <CRLF>'.'<CRLF>");
  EXPECT_EQ(c.ask("first  line\r\n..second\r\n."), "250 Message ok");
  c.script({{"DATA", "503 Error, message already entered"},
            {"PAGEr alice", QUEUED},
            {"SEND", "250 Message LHBx0420 queued for processing"}});
  auto p = only_page();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->message, "first line ..second");
}

TEST_F(Session, OverLongInputIsRefusedAndTheSessionGoesOn) {
  connection c(spool_.path());
  c.line();
  const std::string big = testsupport::short_words(MAX_COMMAND_LINE + 10);
  EXPECT_EQ(c.ask("MESSage " + big), "500 Error, command line too long");
  EXPECT_EQ(c.ask("DATA"), "354 Begin input; end with <CRLF>'.'<CRLF>");
  std::string text;
  while (text.size() <= MAX_MESSAGE_TEXT) text += big + "\r\n";
  EXPECT_EQ(c.ask(text + "."), "550 Error, message too long");
  const std::string message = testsupport::short_words(16 * 1024);
  c.script({{"PAGEr alice", QUEUED},
            {"MESSage " + message, "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"}});
  auto p = only_page();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->message, message);
}

TEST_F(Session, RecipientsOfOnePageAreBounded) {
  connection c(spool_.path());
  c.line();
  std::string commands;
  for (size_t i = 0; i < MAX_PAGE_RECIPIENTS; i++) commands += "PAGEr alice\r\n";
  c.send(commands);
  for (size_t i = 0; i < MAX_PAGE_RECIPIENTS; i++) ASSERT_EQ(c.line(), QUEUED) << i;
  c.script({{"PAGEr bob", "550 Error, too many pager IDs"},
            {"MESSage m", "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"},
            {"PAGEr bob", QUEUED}});
  auto p = only_page();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->rcpts.size(), MAX_PAGE_RECIPIENTS);
}

TEST_F(Session, CallerIdAgainstIdent) {
  struct caller_case {
    std::optional<std::string> ident;
    std::string caller;
    std::string reply;
  };
  const caller_case cases[] = {
      {"ROOT", "root", "250 Caller ID accepted"},
      {"ROOT", "rooted", "250 You're a liar, but I'll trust you this time"},
      {std::nullopt, "anyone", "250 Caller ID accepted"},
      {"ROOT", std::string(MAX_QUEUE_WORD + 1, 'r'), "550 Error, invalid caller ID"},
      {"ROOT", std::string("jo\0e", 4), "550 Error, invalid caller ID"},
  };
  for (const caller_case& cc : cases) {
    connection c(spool_.path(), cc.ident);
    c.line();
    c.script({{"CALLerid", "550 Error, invalid caller ID"}, {"CALLerid " + cc.caller, cc.reply}});
  }
  connection c(spool_.path(), "ROOT");
  c.line();
  c.script({{"CALLerid me", "250 You're a liar, but I'll trust you this time"},
            {"PAGEr alice", QUEUED},
            {"MESSage m", "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"}});
  auto p = only_page();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->from, "me");
  EXPECT_EQ(p->ident, "ROOT");
}

TEST_F(Session, WhoListsWhatHasAText) {
  connection c(spool_.path());
  c.line();
  c.send("XWHO\r\n");
  EXPECT_EQ(c.line(), "214 alice Alice Example");
  EXPECT_EQ(c.line(), "214 oncall Whoever is on call");
  EXPECT_EQ(c.line(), "250 Command complete");
}

// Extended ids must stay readable from a queue file and distinct; a page
// whose file cannot be written uses up its number all the same.
TEST_F(Session, MessageIdsStayShortAndDistinct) {
  temp_dir kept;
  connection c(spool_.path());
  c.line();
  std::vector<std::string> ids;
  for (int i = 0; i < 200; i++) {
    c.script({{"PAGEr alice", QUEUED}, {"MESSage page " + std::to_string(i), "250 Message ok"}});
    if (i == 1) {
      // With descriptor 0 the only one allowed, no queue file can be
      // opened, while the session can still wait for its input.
      struct rlimit none = {1, 1}, old;
      ASSERT_EQ(prlimit(c.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
      none.rlim_max = old.rlim_max;
      ASSERT_EQ(prlimit(c.pid(), RLIMIT_NOFILE, &none, nullptr), 0);
      EXPECT_EQ(c.ask("SEND"), "554 Message failed (error writing queue file)") << c.err();
      ASSERT_EQ(prlimit(c.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
      continue;
    }
    std::smatch m;
    std::string reply = c.ask("SEND");
    ASSERT_TRUE(std::regex_match(reply, m, std::regex("250 Message (\\S+) queued for processing")))
        << reply;
    ids.push_back(m[1]);
    // Out of the way, so that file names never run out within a second.
    auto files = queue_files(spool_.path());
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(rename(files[0].c_str(), kept.file(std::to_string(i)).c_str()), 0);
    auto p = read_page(kept.file(std::to_string(i)));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->messageid, ids.back());
  }
  EXPECT_EQ(ids[0], "LHBx0420");
  EXPECT_EQ(ids[1], "LHBx042012");  // the failed page had LHBx04201
  EXPECT_EQ(ids.back(), "LHBx042.199");
  std::set<std::string> distinct(ids.begin(), ids.end());
  EXPECT_EQ(distinct.size(), ids.size());
  for (const std::string& id : ids) {
    EXPECT_LE(id.size(), MAX_QUEUE_WORD);
    EXPECT_EQ(id.substr(0, 7), CONNECTION_ID);
  }
}

// The run request goes to the daemon only, and only when it is wanted.
TEST_F(Session, RunRequestOnlyToTheDaemon) {
  struct signal_case {
    int synchronous;
    bool daemon_is_parent;
    pid_t other_daemon;
    bool signalled;
  };
  const signal_case cases[] = {
      {1, true, 0, true},
      {0, true, 0, false},
      {1, false, 1, false},
      {1, false, 0, false},
  };
  sigset_t usr1, old;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr1, &old), 0);
  for (const signal_case& sc : cases) {
    synchronous = sc.synchronous;
    daemon_pid = sc.daemon_is_parent ? getpid() : sc.other_daemon;
    connection c(spool_.path());
    c.line();
    c.script({{"PAGEr alice", QUEUED},
              {"MESSage m", "250 Message ok"},
              {"SEND", "250 Message LHBx0420 queued for processing"},
              {"QUIT", "221 OK, goodbye"}});
    EXPECT_EQ(c.finish(), 0);
    struct timespec now = {0, 0};
    EXPECT_EQ(sigtimedwait(&usr1, nullptr, &now) == SIGUSR1, sc.signalled)
        << sc.synchronous << sc.daemon_is_parent << sc.other_daemon;
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
}

TEST_F(Session, DebugEchoesAndLogs) {
  debug = 1;
  connection c(spool_.path());
  std::string greeting = c.line();
  c.script({{"PAGEr alice", QUEUED},
            {"MESSage m", "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"},
            {"QUIT", "221 OK, goodbye"}});
  EXPECT_EQ(c.finish(), 0);
  std::string err = c.err();
  for (const std::string& want : {">>> " + greeting + "\r\n", std::string("--> PAGEr alice\n"),
                                  std::string(">>> 250 Message ok\r\n"),
                                  std::string("page submitted, id=LHBx0420, from=[anonymous]\n"),
                                  std::string("--> QUIT\n>>> 221 OK, goodbye\r\n")})
    EXPECT_NE(err.find(want), std::string::npos) << want << "\nin:\n" << err;
}

TEST_F(Session, AlertOverrideIsTakenButNotKept) {
  debug = 1;
  connection c(spool_.path());
  c.line();
  c.script({{"ALERt 1", "250 OK, alert override accepted"},
            {"ALERt 2", "500 Command not implemented"},
            {"PAGEr alice", QUEUED},
            {"MESSage m", "250 Message ok"},
            {"SEND", "250 Message LHBx0420 queued for processing"}});
  auto files = queue_files(spool_.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(testsupport::read_file(files[0]).find("lert"), std::string::npos);
  EXPECT_NE(c.err().find("alert override 1 accepted, not kept with the page"), std::string::npos);
}

TEST_F(Session, ClientGoneWithoutQuitIsLeftQuietly) {
  debug = 1;
  connection c(spool_.path());
  c.line();
  c.script({{"PAGEr alice", QUEUED}});
  c.hang_up();
  EXPECT_EQ(c.finish(), 1);
  for (const char* unwanted : {"cannot send reply", ">>> 500"})
    EXPECT_EQ(c.err().find(unwanted), std::string::npos) << c.err();
}

}  // namespace
}  // namespace callvane
