// The client mode of the program against a fake SNPP server in private namespaces.
#include <arpa/inet.h>
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
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/text.h"
#include "support/cases.h"
#include "support/support.h"

namespace callvane {
namespace {

using names = std::vector<std::string>;
using testsupport::contains;
using testsupport::run_options;
using testsupport::run_result;

// What one run of the program against the fake server gave.
struct fake_session {
  bool ok = false;
  std::string why;
  run_result result;
  names lines;  // what the server received
};

enum class servers_file { none, text, directory };

// Reached only by a set-up failure inside the child.
constexpr int SETUP_FAILED = 254;

// Moves this process into fresh network and mount namespaces with loopback
// up and a private /usr/local/etc; the reason when that fails.
std::string private_namespaces() {
  if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return "private mounts";
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  struct ifreq ifr = {};
  strcpy(ifr.ifr_name, "lo");
  bool up = ioctl(sock, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags |= IFF_UP;
  up = up && ioctl(sock, SIOCSIFFLAGS, &ifr) == 0;
  close(sock);
  if (!up) return "cannot bring loopback up";
  if (mount("tmpfs", "/usr/local/etc", "tmpfs", 0, "mode=0755") != 0) return "tmpfs";
  return "";
}

// A server that accepts everything from one client, writing down each line.
void serve_one(int listener, const std::string& transcript) {
  std::ofstream log(transcript, std::ios::binary);
  struct pollfd pfd = {listener, POLLIN, 0};
  if (poll(&pfd, 1, 10000) <= 0) return;
  int fd = accept(listener, nullptr, nullptr);
  if (fd < 0) return;
  auto say = [&](const char* text) { (void)!write(fd, text, strlen(text)); };
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
    log << line << "\n" << std::flush;
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

// Runs the program in a child with private network and mount namespaces:
// only loopback, the fake server on 127.0.0.1 port 444, and (optionally) a
// servers file of our own.
fake_session with_fake_server(const names& args, run_options opts,
                              servers_file file = servers_file::none,
                              const std::string& file_text = "") {
  fake_session s;
  if (geteuid() != 0) {
    s.why = "needs root for namespaces";
    return s;
  }
  testsupport::temp_dir dir;
  std::string transcript = dir.file("transcript");
  auto child = testsupport::in_child([&] {
    if (std::string why = private_namespaces(); !why.empty()) {
      std::fputs(why.c_str(), stderr);
      return SETUP_FAILED;
    }
    if (file == servers_file::text) std::ofstream("/usr/local/etc/callvane.servers") << file_text;
    if (file == servers_file::directory) mkdir("/usr/local/etc/callvane.servers", 0755);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(444);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 5) != 0) {
      std::fprintf(stderr, "listen: %s", strerror(errno));
      return SETUP_FAILED;
    }
    pid_t server = fork();
    if (server == 0) {
      serve_one(listener, transcript);
      _exit(0);
    }
    close(listener);
    opts.limit = std::chrono::milliseconds(15000);
    run_result r = testsupport::run_callvane(args, opts);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    return r.status;
  });
  if (child.status == SETUP_FAILED) {
    s.why = child.err;
    return s;
  }
  s.result = {child.status, child.out, child.err, false};
  std::istringstream text(testsupport::read_file(transcript));
  for (std::string line; std::getline(text, line);) s.lines.push_back(line);
  s.ok = true;
  return s;
}

run_options no_server_env(std::optional<std::string> server = std::nullopt,
                          const std::string& input = "") {
  run_options o;
  o.env["SNPP_SERVER"] = server;
  o.input = input;
  return o;
}

// One run against the fake server and what must come of it.
struct client_case {
  const char* name = "";
  names args{};
  run_options opts = no_server_env();
  servers_file file = servers_file::none;
  std::string file_text{};
  int status = 0;
  std::optional<names> lines{};  // all the server received, when checked
  std::string out{};             // a piece of standard output
  std::string err_start{};       // how standard error starts
};

const std::string LOCALHOST = "Connecting to SNPP server at localhost\n";

const client_case CLIENT_CASES[] = {
    // An empty sender: no CALLerid at all.
    {.name = "WordsAfterTheRecipientAreTheMessage",
     .args = {"-s", "127.0.0.1", "-f", "", "pager", "-oops-", "call", "me"},
     .lines = names{"PAGEr pager", "DATA", "-oops- call me", ".", "SEND", "QUIT"}},
    {.name = "RecipientsAreSentNewestFirstWithTheirOptions",
     .args = {"-s", "127.0.0.1", "-f", "alice", "-l", "3", "-p", "a,b", "-c", "metro", "-P", "c",
              "hi"},
     .lines = names{"CALLerid alice", "COVErage metro", "PAGEr c", "LEVEl 3", "PAGEr b", "LEVEl 3",
                    "PAGEr a", "DATA", "hi", ".", "SEND", "QUIT"}},
    {.name = "MessageFromStandardInput",
     .args = {"-s", "127.0.0.1", "-f", "", "pager"},
     .opts = no_server_env(std::nullopt, "first line\n  second\tline\n.\n"),
     .lines = names{"PAGEr pager", "DATA", "first line second line", ".", "SEND", "QUIT"}},
    {.name = "WithoutAnyListTheClientUsesLocalhost",
     .args = {"-d", "pager", "text"},
     .out = LOCALHOST},
    // An empty variable or a file naming no server counts as not given.
    {.name = "EmptyListsFallBackToLocalhost",
     .args = {"-d", "pager", "text"},
     .opts = no_server_env(""),
     .file = servers_file::text,
     .file_text = " \n,\n",
     .out = LOCALHOST},
    {.name = "UnreadableServersFile",
     .args = {"pager", "text"},
     .file = servers_file::directory,
     .status = 255,
     .lines = names{},
     .err_start = "read() failed: "},
    {.name = "NoServerReachable",
     .args = {"-s", "127.0.0.2", "pager", "text"},
     .status = 255,
     .lines = names{}},
};

class ClientMode : public ::testing::TestWithParam<client_case> {};

TEST_P(ClientMode, Run) {
  const client_case& c = GetParam();
  auto s = with_fake_server(c.args, c.opts, c.file, c.file_text);
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(c.status, s.result.status) << c.name << "\n" << s.result.err;
  EXPECT_TRUE(!c.lines || *c.lines == s.lines) << c.name << "\n" << testing::PrintToString(s.lines);
  EXPECT_TRUE(contains(s.result.out, c.out)) << c.name << "\n" << s.result.out;
  EXPECT_EQ(0u, s.result.err.rfind(c.err_start, 0)) << c.name << "\n" << s.result.err;
}

INSTANTIATE_TEST_SUITE_P(Cases, ClientMode, ::testing::ValuesIn(CLIENT_CASES),
                         testsupport::by_name{});

TEST(ClientModeOrder, SenderDefaultsToTheCurrentUser) {
  auto s = with_fake_server({"-s", "127.0.0.1", "pager", "text"}, no_server_env());
  ASSERT_TRUE(s.ok) << s.why;
  ASSERT_FALSE(s.lines.empty());
  EXPECT_EQ("CALLerid " + current_user(), s.lines[0]);
}

TEST(ClientModeOrder, ServersFileIsTriedInOrder) {
  auto s = with_fake_server({"-d", "pager", "text"}, no_server_env(), servers_file::text,
                            "127.0.0.2\n127.0.0.1\n");
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  size_t first = s.result.out.find("Connecting to SNPP server at 127.0.0.2\n");
  size_t second = s.result.out.find("Connecting to SNPP server at 127.0.0.1\n");
  ASSERT_NE(std::string::npos, first) << s.result.out;
  ASSERT_NE(std::string::npos, second) << s.result.out;
  EXPECT_LT(first, second);
  EXPECT_TRUE(contains(s.result.err, "127.0.0.2"));
  EXPECT_FALSE(s.lines.empty());
}

TEST(ClientModeOrder, EnvironmentBeforeFileAndOptionBeforeEnvironment) {
  auto s = with_fake_server({"-d", "pager", "text"}, no_server_env("127.0.0.1"), servers_file::text,
                            "127.0.0.3\n");
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_FALSE(contains(s.result.out, "127.0.0.3"));

  s = with_fake_server({"-d", "-s", "127.0.0.1", "pager", "text"}, no_server_env("127.0.0.3"));
  ASSERT_TRUE(s.ok) << s.why;
  EXPECT_EQ(0, s.result.status) << s.result.err;
  EXPECT_FALSE(contains(s.result.out, "127.0.0.3"));
}

}  // namespace
}  // namespace callvane
