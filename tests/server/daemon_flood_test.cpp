// Thousands of connections, many at once: the daemon answers every one
// (greeting or "421"), queues every page it acknowledges, and does not grow.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/page_traffic.h"
#include "support/support.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

const char GREETING_CODE[] = "220 ";
const char REFUSAL_CODE[] = "421 ";
constexpr long MAXSESSIONS = 32;
constexpr long HOLD_UNTIL = 500;  // connections done before the held sessions end
const char QUEUED_CODE[] = "250 Message ";
constexpr int PORT = 444;
constexpr long DEFAULT_CONNECTIONS = 10000;
constexpr size_t CONCURRENCY = 200;
constexpr int PAGE_EVERY = 20;  // one connection in this many sends a page
constexpr auto CONNECTION_LIMIT = std::chrono::seconds(30);
// The daemon's own memory after all connections, against that after the
// first WARM_UP: allocator noise only.
constexpr long WARM_UP = 1000;
constexpr long RSS_SLACK_KB = 512;
constexpr size_t REPLY_LIMIT = 64 * 1024;

// One client connection, driven by poll.
struct client {
  int fd = -1;
  long number = 0;
  bool sent = false;
  std::string in;
  Clock::time_point deadline;
};

struct tally {
  long greeted = 0, refused = 0, unanswered = 0, timed_out = 0, pages_acknowledged = 0;
  std::set<std::string> acknowledged;
};

std::string page_text(long number) { return "flood page " + std::to_string(number); }

int start_connection() {
  sockaddr_storage addr;
  socklen_t len = socket_address("127.0.0.1", PORT, addr);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Counts what a finished connection came to and closes it.
void finish(client& c, tally& t, bool timed_out) {
  close(c.fd);
  c.fd = -1;
  if (timed_out) t.timed_out++;
  if (c.in.rfind(GREETING_CODE, 0) == 0) {
    t.greeted++;
  } else if (c.in.rfind(REFUSAL_CODE, 0) == 0) {
    t.refused++;
  } else {
    t.unanswered++;
  }
  if (c.number % PAGE_EVERY == 0 && c.in.find(QUEUED_CODE) != std::string::npos) {
    t.pages_acknowledged++;
    t.acknowledged.insert(page_text(c.number));
  }
}

// After the first line: QUIT, or a page and QUIT, all at once.
void answer(client& c) {
  if (c.sent || c.in.find("\r\n") == std::string::npos) return;
  c.sent = true;
  if (c.in.rfind(GREETING_CODE, 0) != 0) return;  // refused: the daemon closes
  std::string script = "QUIT\r\n";
  if (c.number % PAGE_EVERY == 0)
    script = "PAGE alice\r\nMESS " + page_text(c.number) + "\r\nSEND\r\n" + script;
  // A few bytes: the socket buffer takes them at once.
  if (send(c.fd, script.data(), script.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(script.size()))
    c.in += "\r\n(send failed)";
}

using DaemonFloodTest = sandboxed_daemon;

TEST_F(DaemonFloodTest, ManyConnectionsAreAllAnsweredAndTheDaemonStaysFlat) {
  const long total = env_number("CALLVANE_FLOOD_CONNECTIONS", DEFAULT_CONNECTIONS);
  auto started = Clock::now();
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\nmaxsessions=" +
                                       std::to_string(MAXSESSIONS) + "\n"),
                   -1);
  const long rss_start = rss_kb(d.pid());
  long rss_warm = -1, peak_children = 0;

  // Sessions held idle at the limit for the first connections of the flood:
  // meanwhile every one of them is turned away, however quickly the others'
  // sessions would come and go.
  std::vector<std::unique_ptr<snpp_connection>> holders;
  for (int i = 0; i < MAXSESSIONS; i++) {
    holders.push_back(std::make_unique<snpp_connection>());
    auto greeting = holders.back()->line();
    ASSERT_TRUE(greeting && greeting->rfind("220 ", 0) == 0) << "holder " << i;
  }

  std::vector<client> slots(CONCURRENCY);
  tally t;
  long opened = 0, done = 0;
  while (done < total) {
    for (client& c : slots) {
      if (c.fd >= 0 || opened >= total) continue;
      c = client{};
      c.fd = start_connection();
      c.number = opened++;
      c.deadline = Clock::now() + CONNECTION_LIMIT;
      if (c.fd < 0) {
        t.unanswered++;
        done++;
      }
    }
    std::vector<pollfd> polls;
    std::vector<client*> owners;
    for (client& c : slots) {
      if (c.fd < 0) continue;
      polls.push_back({c.fd, POLLIN, 0});
      owners.push_back(&c);
    }
    if (polls.empty()) break;
    if (poll(polls.data(), polls.size(), 100) < 0 && errno != EINTR) break;
    auto now = Clock::now();
    for (size_t i = 0; i < polls.size(); i++) {
      client& c = *owners[i];
      bool ended = false;
      if (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        char buf[4096];
        ssize_t n = read(c.fd, buf, sizeof buf);
        if (n > 0 && c.in.size() < REPLY_LIMIT) c.in.append(buf, static_cast<size_t>(n));
        ended = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        if (!ended) answer(c);
      }
      if (ended || now > c.deadline) {
        finish(c, t, !ended);
        done++;
        if (done == WARM_UP) rss_warm = rss_kb(d.pid());
        if (done == HOLD_UNTIL) holders.clear();
      }
    }
    if (opened % 500 == 0) {
      long children = static_cast<long>(children_of(d.pid()).size());
      peak_children = std::max(peak_children, children);
    }
  }
  EXPECT_TRUE(wait_for_children(d.pid(), 0, std::chrono::seconds(30))) << "every session ended";
  const long rss_end = rss_kb(d.pid());

  EXPECT_EQ(total, t.greeted + t.refused + t.unanswered);
  EXPECT_EQ(0, t.unanswered) << "every connection got a greeting or a 421";
  EXPECT_EQ(0, t.timed_out);
  EXPECT_GE(t.refused, HOLD_UNTIL) << "sessions beyond maxsessions were turned away";
  EXPECT_GT(t.greeted, 0);
  EXPECT_LE(peak_children, MAXSESSIONS + 1) << "at most maxsessions sessions (and a run) at once";

  // Every acknowledged page is on disk, once.
  std::multiset<std::string> spooled;
  for (const auto& [name, text] : snapshot(setup_.spool(), "P"))
    if (auto m = message_line(text)) spooled.insert(*m);
  for (const std::string& text : t.acknowledged) EXPECT_EQ(1u, spooled.count(text)) << text;
  EXPECT_EQ(t.acknowledged.size(), spooled.size());

  if (total > WARM_UP) {
    EXPECT_LE(rss_end, rss_warm + RSS_SLACK_KB) << "the daemon's memory stays flat";
  }
  submission after = submit_page("alice", "after the flood");
  EXPECT_TRUE(after.queued) << after.reply;
  EXPECT_EQ(0, d.stop()) << "the daemon stayed up";

  std::cout << total << " connections, " << CONCURRENCY << " at once: " << t.greeted << " greeted, "
            << t.refused << " turned away (421), " << t.unanswered << " unanswered, " << t.timed_out
            << " timed out; pages acknowledged " << t.pages_acknowledged << ", on disk "
            << spooled.size() << "; sessions at once " << peak_children << "; daemon VmRSS "
            << rss_start << " kB at start, " << rss_warm << " kB after " << WARM_UP << ", "
            << rss_end << " kB at the end; "
            << std::chrono::duration<double>(Clock::now() - started).count() << " s\n";
}

}  // namespace
