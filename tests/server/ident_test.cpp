// The ident client against a scripted ident server and oidentd, inside a
// private network namespace where port 113 is ours alone.
#include "server/ident.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/settings.h"
#include "config/config.h"
#include "support/ident_peer.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;

namespace {

// Both ends of one loopback connection, as an accepted SNPP connection.
struct connection {
  int server = -1;
  int client = -1;
  unsigned server_port = 0;
  unsigned client_port = 0;

  explicit connection(const char* client_address = "127.0.0.1") {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 1) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("listener");
    server_port = ntohs(addr.sin_port);
    client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, client_address, &from.sin_addr);
    if (bind(client, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("connect");
    len = sizeof from;
    getsockname(client, reinterpret_cast<sockaddr*>(&from), &len);
    client_port = ntohs(from.sin_port);
    server = accept(listener, nullptr, nullptr);
    close(listener);
  }
  ~connection() {
    close(server);
    close(client);
  }
  std::string query() const {
    return std::to_string(client_port) + ", " + std::to_string(server_port) + "\r\n";
  }
};

class Ident : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
    saved_timeout_ = identtimeout;
    saved_debug_ = debug;
    identtimeout = 2;
    debug = 1;
  }
  void TearDown() override {
    identtimeout = saved_timeout_;
    debug = saved_debug_;
  }

  struct outcome {
    std::optional<std::string> user;
    std::string log;
  };
  static outcome ask(const connection& c) {
    testsupport::capture_fd err(2);
    auto user = ident_query(c.server);
    return {user, err.finish()};
  }

 private:
  int saved_timeout_ = 0;
  int saved_debug_ = 0;
};

struct answer_case {
  const char* name;
  std::string answer;
  std::optional<std::string> user;
};

class IdentAnswer : public Ident, public ::testing::WithParamInterface<answer_case> {};

TEST_P(IdentAnswer, GivesTheUserOfAValidAnswerOnly) {
  const answer_case& tc = GetParam();
  identpeer::scripted server("answer", tc.answer);
  connection c;
  outcome o = ask(c);
  EXPECT_EQ(tc.user, o.user);
  EXPECT_EQ(c.query(), server.finish());
}

const std::string LONG_USER(2000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Answers, IdentAnswer,
    ::testing::Values(
        answer_case{"Unix", "4711 , 444 : USERID : UNIX : joe\r\n", "joe"},
        answer_case{"OsOther", "4711 , 444 : USERID : OTHER : joe\r\n", std::nullopt},
        answer_case{"OsOtherLowerCase", "4711 , 444 : USERID : other : joe\r\n", std::nullopt},
        answer_case{"TypeLowerCase", "4711 , 444 : userid : unix : joe\r\n", "joe"},
        answer_case{"Error", "4711 , 444 : ERROR : NO-USER\r\n", std::nullopt},
        answer_case{"BlanksNoLineEnd", " 4711 , 444 :  USERID \t:\t UNIX  :  joe  ", "joe"},
        answer_case{"ColonInUser", "4711 , 444 : USERID : UNIX : a:b\r\n", "a:b"},
        answer_case{"LineFeedOnly", "4711 , 444 : USERID : UNIX : joe\n", "joe"},
        answer_case{"CarriageReturnOnly", "4711 , 444 : USERID : UNIX : joe\r", "joe"},
        answer_case{"UserEndsAtCarriageReturn", "1,2:USERID:UNIX:joe\rrest\r\n", "joe"},
        answer_case{"SecondLineIgnored", "1,2:USERID:UNIX:joe\r\nmore:lines\r\n", "joe"},
        answer_case{"NoPortField", ": USERID : UNIX : joe\r\n", std::nullopt},
        answer_case{"EmptyUser", "1,2:USERID:UNIX:   \r\n", std::nullopt},
        answer_case{"NulEndsTheText", std::string("1,2:USERID\0:UNIX:joe\r\n", 22), std::nullopt},
        answer_case{"HighBitBytesAreNotBlanks", "1,2:USERID:UNIX: \xa0j\xe9\xa0 \r\n",
                    "\xa0j\xe9\xa0"},
        answer_case{"Garbage", "\x01\x02\xff\xfe\x7f\r\n", std::nullopt},
        answer_case{"OnlyTheFirst1023BytesCount", "1,2:USERID:UNIX:" + LONG_USER,
                    std::string(1023 - 16, 'x')}),
    [](const auto& info) { return std::string(info.param.name); });

struct log_case {
  const char* name;
  std::optional<std::string> answer;  // nothing listens on 113 without one
  int timeout, debug;
  std::optional<std::string> user;
  std::string log;
};

class IdentLog : public Ident, public ::testing::WithParamInterface<log_case> {};

TEST_P(IdentLog, SaysWhatCameBack) {
  const log_case& c = GetParam();
  identtimeout = c.timeout;
  debug = c.debug;
  std::optional<identpeer::scripted> server;
  if (c.answer) server.emplace("answer", *c.answer);
  connection con;
  outcome o = ask(con);
  EXPECT_EQ(c.user, o.user);
  EXPECT_EQ(c.log, o.log);
}

const std::string NO_USER = "4711 , 444 : ERROR : NO-USER\r\n";
const std::string NO_VALID = "no valid ident response\n";

INSTANTIATE_TEST_SUITE_P(
    Logs, IdentLog,
    ::testing::Values(
        log_case{"LogsTheFieldsInDebugMode", "4711 , 444 : USERID : UNIX :\tj\x01oe \r\n", 2, 1,
                 "j\001oe", "ident: type=<USERID>, os=<UNIX>, user=<j\\001oe>\n"},
        log_case{"SaysNothingWithoutDebug", NO_USER, 2, 0, std::nullopt, ""},
        log_case{"ReportsAnAnswerWithTooFewFields", NO_USER, 2, 1, std::nullopt, NO_VALID},
        log_case{"ReportsAServerThatClosesWithoutAWord", "", 2, 1, std::nullopt, NO_VALID},
        log_case{"RefusedConnectionGivesNothingAtOnce", std::nullopt, 2, 1, std::nullopt,
                 "RFC-1413 query refused by remote\n"},
        // Nothing listens on 113: a question would be logged as refused.
        log_case{"NoLimitMeansNoQuestion", std::nullopt, 0, 1, std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Ident, AsksThePeersOwnAddress) {
  // The server listens on every loopback address; the query must go to the
  // address the SNPP client came from.
  identpeer::scripted server("answer", "1,2:USERID:UNIX:joe\r\n");
  connection c("127.0.0.2");
  EXPECT_EQ("joe", ask(c).user.value_or("(none)"));
  EXPECT_EQ(c.query(), server.finish());
}

// A server that never closes gives nothing, silently, once the time is up.
TEST_F(Ident, ServerThatNeverClosesRunsIntoTheLimit) {
  identtimeout = 1;
  for (const char* mode : {"hold", "silent"}) {
    SCOPED_TRACE(mode);
    identpeer::scripted server(mode, "1,2:USERID:UNIX:joe\r\n");
    connection c;
    outcome o = ask(c);
    EXPECT_FALSE(o.user);
    EXPECT_EQ("", o.log);
    EXPECT_EQ(c.query(), server.finish());
  }
}

TEST_F(Ident, UnconnectedSocketGivesNothing) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  testsupport::capture_fd err(2);
  EXPECT_FALSE(ident_query(fd));
  EXPECT_EQ(0u, err.finish().rfind("ident.getpeername() failed: ", 0));
  close(fd);
}

// oidentd looks the connection up in the kernel and names its owner.
TEST_F(Ident, RealServerNamesTheConnectionsOwner) {
  struct passwd* pw = getpwnam("nobody");
  if (pw == nullptr) GTEST_SKIP() << "no user nobody";
  uid_t uid = pw->pw_uid;
  gid_t gid = pw->pw_gid;
  identpeer::oidentd server;
  std::string why;
  if (!server.running(why)) GTEST_SKIP() << why;

  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  ASSERT_EQ(0, listen(listener, 1));
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The connection must belong to nobody from its first moment.
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(1);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) _exit(2);
    char c;
    while (read(fd, &c, 1) > 0) {
    }
    _exit(0);
  }
  int fd = accept(listener, nullptr, nullptr);
  close(listener);
  ASSERT_GE(fd, 0);
  auto user = ident_query(fd);
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(0, status);
  EXPECT_EQ("nobody", user.value_or("(none)"));
}

struct trim_case {
  std::string in, out;
};

TEST(TrimBlanks, CutsWhitespaceAtBothEndsOnly) {
  const trim_case cases[] = {
      {"", ""},
      {"   ", ""},
      {"joe", "joe"},
      {"  joe  ", "joe"},
      {"\t\n\v\f\r joe \r\n\t", "joe"},
      {" j o e ", "j o e"},
      {"\xa0joe\xa0", "\xa0joe\xa0"},
      {" \x85 ", "\x85"},
  };
  for (const trim_case& tc : cases) {
    std::string text = tc.in;
    trim_blanks(text);
    EXPECT_EQ(tc.out, text) << '"' << tc.in << '"';
  }
}

}  // namespace
