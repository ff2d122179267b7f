// The daemon under many sessions and hostile input from the network.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/page_traffic.h"
#include "support/support.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char GREETING[] = "220 Callvane v3.3 SNPP server ready at ";

bool is_greeting(const std::optional<std::string>& line) {
  return line && line->rfind(GREETING, 0) == 0;
}

using DaemonSessionsTest = sandboxed_daemon;

struct limit_case {
  const char* name;
  const char* setting;
  size_t served;  // sessions served at once before the 421 replies
};

// Test names under ctest show the case's name, not its bytes.
void PrintTo(const limit_case& c, std::ostream* os) { *os << c.name; }

class SessionLimit : public DaemonSessionsTest, public ::testing::WithParamInterface<limit_case> {};

TEST_P(SessionLimit, ConnectionsBeyondTheLimitAreTurnedAwayUntilSessionsEnd) {
  daemon_process d(setup_.write_config(GetParam().setting), -1);
  std::vector<std::unique_ptr<snpp_connection>> held;
  for (size_t i = 0; i < GetParam().served; i++) {
    held.push_back(std::make_unique<snpp_connection>());
    ASSERT_TRUE(is_greeting(held.back()->line())) << i;
  }
  for (int i = 0; i < 5; i++) {
    snpp_connection extra;
    auto line = extra.line();
    ASSERT_TRUE(line) << i;
    EXPECT_EQ(0u, line->find("421 ")) << *line;
    EXPECT_TRUE(extra.wait_closed()) << "closed after the one line";
    EXPECT_EQ(*line + "\r\n", extra.received());
  }
  EXPECT_EQ(GetParam().served, children_of(d.pid()).size()) << "no child for a refused one";

  held.clear();
  // Their sessions see the end of input and finish; then a place is free.
  EXPECT_TRUE(wait_until([] { return is_greeting(snpp_connection().line()); }, 15s, 100ms));
}

INSTANTIATE_TEST_SUITE_P(Limits, SessionLimit,
                         ::testing::Values(limit_case{"Three", "maxsessions=3\n", 3},
                                           limit_case{"Default", "", 32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonSessionsTest, ZeroMeansNoLimit) {
  daemon_process d(setup_.write_config("maxsessions=0\n"), -1);
  std::vector<std::unique_ptr<snpp_connection>> held;
  for (int i = 0; i < 40; i++) {
    held.push_back(std::make_unique<snpp_connection>());
    ASSERT_TRUE(is_greeting(held.back()->line())) << i;
  }
}

// Clients that come and go without pause never hold more connections than
// there are clients, so a limit of four times that turns nobody away: the
// daemon must count a session as ended once its child is gone, even while
// connections keep it from ever waiting idle. The margin is for children
// that have closed their socket but not yet exited (a sanitizer's exit
// checks, a busy machine); a daemon that never counts an end hits any
// limit within a few hundred sessions.
TEST_F(DaemonSessionsTest, BusyStreamOfShortSessionsStaysUnderTheLimit) {
  constexpr int CLIENTS = 8, SESSIONS_EACH = 150;
  daemon_process d(setup_.write_config("maxsessions=" + std::to_string(4 * CLIENTS) + "\n"), -1);
  std::atomic<int> greeted{0}, refused{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < CLIENTS; c++)
    clients.emplace_back([&] {
      for (int i = 0; i < SESSIONS_EACH; i++) {
        snpp_connection conn;
        auto first = conn.line();
        if (is_greeting(first)) {
          greeted++;
          conn.send("QUIT\r\n");
        } else if (first && first->rfind("421 ", 0) == 0) {
          refused++;
        }
        conn.wait_closed();
      }
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(0, refused.load()) << "sessions refused with no more than " << CLIENTS << " open";
  EXPECT_EQ(CLIENTS * SESSIONS_EACH, greeted.load());
}

// ---- hostile input ----------------------------------------------------------

std::string random_bytes(size_t n) {
  std::mt19937 gen(1861);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen() & 0xff);
  return s;
}

struct input_case {
  const char* name;
  std::string bytes;
  bool hang_up;            // close right after sending; else wait for the daemon to end it
  const char* last_reply;  // what the session ends with when we wait, or ""
};

void PrintTo(const input_case& c, std::ostream* os) { *os << c.name; }

class HostileInput : public DaemonSessionsTest, public ::testing::WithParamInterface<input_case> {};

TEST_P(HostileInput, TheDaemonSurvivesAndQueuesNothing) {
  const input_case& c = GetParam();
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\n"), -1);
  {
    snpp_connection conn;
    ASSERT_TRUE(is_greeting(conn.line()));
    conn.send(c.bytes, std::chrono::seconds(30));
    if (c.hang_up) {
      conn.close();
    } else {
      ASSERT_TRUE(conn.wait_closed(std::chrono::seconds(30))) << "the session ends by itself";
      EXPECT_TRUE(conn.received().ends_with(c.last_reply)) << conn.received().substr(0, 2000);
    }
  }
  // Every session child ends, by its time-outs at the latest.
  EXPECT_TRUE(wait_for_children(d.pid(), 0, std::chrono::seconds(30)));
  EXPECT_TRUE(setup_.spool_files().empty()) << "no page and no temporary file";

  snpp_connection after;
  EXPECT_TRUE(is_greeting(after.line())) << d.log().substr(0, 2000);
  ASSERT_TRUE(after.send("PAGE alice\r\nMESS still here\r\nSEND\r\nQUIT\r\n"));
  ASSERT_TRUE(after.wait_closed());
  EXPECT_EQ(1u, setup_.spool_files("P").size()) << after.received();
  EXPECT_EQ(1u, setup_.spool_files().size());
  EXPECT_EQ(0, d.stop());
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, HostileInput,
    ::testing::Values(
        input_case{"Garbage", repeated("hello there\r\n\x01\x02 junk\r\nPAGEZZ\r\n", 20), false,
                   "421 Too many errors, goodbye\r\n"},
        input_case{"BinaryBytes", random_bytes(64 * 1024), true, ""},
        input_case{"EndlessLine", std::string(4 << 20, 'x'), true, ""},
        input_case{"EndlessLineThenSilence", std::string(1 << 20, 'y'), false,
                   "421 Timeout, goodbye\r\n"},
        input_case{"LineWithoutEndThenClose", "PAGE alice", true, ""},
        input_case{"ThousandsOfCommands", repeated("RESE\r\nALER\r\nPAGE alice\r\n", 3000), false,
                   "421 Timeout, goodbye\r\n"},
        input_case{"HangUpInsideData", "PAGE alice\r\nDATA\r\nfirst line\r\nsecond", true, ""},
        input_case{"DataThatNeverEnds", "PAGE alice\r\nDATA\r\nfirst line\r\n", false,
                   "421 Timeout, goodbye\r\n"},
        input_case{"Silence", "", false, "421 Timeout, goodbye\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
