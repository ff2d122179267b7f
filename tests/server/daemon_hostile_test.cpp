// Hostile clients all at once (trickling, idle, half-closed, never reading,
// binary, endless, huge): each session ends by its time-out or bound while
// the daemon keeps queuing pages for a well-behaved client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "queue/queuefile.h"
#include "support/daemon_fixture.h"
#include "support/daemon_run.h"
#include "support/page_traffic.h"
#include "support/support.h"

namespace {

using namespace testsupport;
using Clock = std::chrono::steady_clock;

const char GREETING_CODE[] = "220 ";
const char TIMEOUT_REPLY[] = "421 Timeout, goodbye";
const char TOO_MANY_ERRORS[] = "421 Too many errors, goodbye";
// However a session misbehaves, the daemon has ended it well before this.
constexpr auto SESSION_BOUND = std::chrono::seconds(40);
// A session child may grow this much at most, whatever it is sent.
constexpr long GROWTH_LIMIT_KB = 16 * 1024;
// AddressSanitizer keeps freed memory in quarantine, so there a session's
// resident size grows with every reply it builds and says nothing.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool SIZE_TELLS = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool SIZE_TELLS = false;
#else
constexpr bool SIZE_TELLS = true;
#endif
#else
constexpr bool SIZE_TELLS = true;
#endif

// One misbehaving client: what it does on a greeted connection, and how its
// session must end.
struct hostile_case {
  const char* name;
  std::function<void(snpp_connection&)> act;
  const char* last_reply;  // the line the session ends with; "" for any
  const char* marker;      // text of its page, if it sends one
  bool queued;             // whether that page is queued
};

// Sends `bytes` a byte at a time, `gap` apart, until the daemon stops taking
// them (or all are sent).
void trickle(snpp_connection& c, const std::string& bytes, std::chrono::milliseconds gap) {
  for (char b : bytes) {
    if (::send(c.fd(), &b, 1, MSG_NOSIGNAL) != 1) return;
    std::this_thread::sleep_for(gap);
    if (c.wait_closed(std::chrono::milliseconds(1))) return;
  }
}

// Sends without ever reading what comes back, until the daemon stops
// reading or `limit` has passed.
void send_unread(snpp_connection& c, const std::string& bytes, std::chrono::seconds limit) {
  auto until = Clock::now() + limit;
  size_t done = 0;
  while (done < bytes.size() && Clock::now() < until) {
    ssize_t n =
        ::send(c.fd(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
}

// Sends `piece` over and over without a line end, reading the replies, for
// up to `total` bytes or until the daemon gives up on the line.
void endless(snpp_connection& c, size_t total) {
  const std::string piece(256 * 1024, 'x');
  for (size_t sent = 0; sent < total; sent += piece.size())
    if (!c.send(piece, std::chrono::seconds(5))) return;
}

std::string huge_data() {
  std::string body = "PAGE alice\r\nDATA\r\n";
  body += repeated("much too much text for one page, line after line\r\n", 40000);  // 2 MB
  return body + ".\r\nSEND\r\nQUIT\r\n";
}

const std::string IAC_WILL_ECHO = "\xff\xfb\x01", IAC_DO_TERMINAL = "\xff\xfd\x18";

std::vector<hostile_case> cases() {
  using std::chrono::milliseconds;
  return {
      {"SlowClient",
       [](snpp_connection& c) {
         trickle(c, "PAGE alice\r\nMESS hostile slow\r\nSEND\r\n", milliseconds(700));
       },
       TIMEOUT_REPLY, "hostile slow", false},
      {"IdleClient", [](snpp_connection&) {}, TIMEOUT_REPLY, "", false},
      {"HalfCloseMidCommand",
       [](snpp_connection& c) {
         c.send("PAGE alice\r\nMESS hostile half\r\nSE");
         shutdown(c.fd(), SHUT_WR);
       },
       TOO_MANY_ERRORS, "hostile half", false},
      {"HalfCloseInsideData",
       [](snpp_connection& c) {
         c.send("PAGE alice\r\nDATA\r\nhostile data\r\nmore");
         shutdown(c.fd(), SHUT_WR);
       },
       "", "hostile data", false},
      {"NeverReadsReplies",
       [](snpp_connection& c) {
         send_unread(c, repeated("HELP\r\n", 40000), std::chrono::seconds(20));
       },
       "", "", false},
      {"TelnetNegotiation",
       [](snpp_connection& c) {
         c.send(repeated(IAC_DO_TERMINAL + IAC_WILL_ECHO + "\r\n", 12) + "PAGE alice\r\n");
       },
       TOO_MANY_ERRORS, "", false},
      {"BinaryBytesInAPage",
       [](snpp_connection& c) {
         c.send("PAGE alice\r\nMESS hostile bin" + std::string("\0\x01\xff\xfe", 4) +
                IAC_WILL_ECHO + "ary\r\nSEND\r\nQUIT\r\n");
       },
       "221 OK, goodbye", "hostile bin", true},
      {"EndlessLine", [](snpp_connection& c) { endless(c, 256u << 20); }, TIMEOUT_REPLY, "", false},
      {"HugeDataBody", [](snpp_connection& c) { c.send(huge_data(), std::chrono::seconds(30)); },
       "221 OK, goodbye", "much too much", false},
  };
}

// The last complete line of what a connection received.
std::string last_line(const std::string& received) {
  if (!received.ends_with("\r\n")) return "";
  size_t start = received.rfind("\r\n", received.size() - 3);
  return received.substr(start == std::string::npos ? 0 : start + 2,
                         received.size() - 2 - (start == std::string::npos ? 0 : start + 2));
}

using DaemonHostileTest = sandboxed_daemon;

TEST_F(DaemonHostileTest, HostileSessionsEndWhileOthersAreServed) {
  auto started = Clock::now();
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\n"), -1);
  const auto rows = cases();

  // Resident memory of every child of the daemon, first seen and peak.
  std::mutex mutex;
  std::map<pid_t, std::pair<long, long>> memory;
  std::atomic<bool> done{false};
  std::thread watch([&] {
    while (!done) {
      for (pid_t child : children_of(d.pid())) {
        long kb = rss_kb(child);
        if (kb <= 0) continue;
        std::lock_guard<std::mutex> hold(mutex);
        auto [it, fresh] = memory.try_emplace(child, kb, kb);
        it->second.second = std::max(it->second.second, kb);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  std::vector<std::string> endings(rows.size());
  std::vector<double> seconds(rows.size());
  std::vector<bool> ended(rows.size());
  std::atomic<int> running{static_cast<int>(rows.size())};
  std::vector<std::thread> clients;
  for (size_t i = 0; i < rows.size(); i++) {
    clients.emplace_back([&, i] {
      auto start = Clock::now();
      snpp_connection c;
      auto greeting = c.line();
      if (greeting && greeting->rfind(GREETING_CODE, 0) == 0) {
        rows[i].act(c);
        ended[i] = c.wait_closed(SESSION_BOUND);
      }
      endings[i] = last_line(c.received());
      seconds[i] = std::chrono::duration<double>(Clock::now() - start).count();
      running--;
    });
  }

  // Meanwhile a well-behaved client queues page after page.
  std::vector<std::string> normal_sent, normal_queued;
  while (running > 0) {
    std::string text = "meanwhile " + std::to_string(normal_sent.size());
    normal_sent.push_back(text);
    submission s = submit_page("alice", text);
    if (s.queued) normal_queued.push_back(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  for (auto& t : clients) t.join();
  EXPECT_TRUE(wait_for_children(d.pid(), 0, SESSION_BOUND)) << "every session child ended";
  done = true;
  watch.join();

  for (size_t i = 0; i < rows.size(); i++) {
    SCOPED_TRACE(rows[i].name);
    EXPECT_TRUE(ended[i]) << "the daemon ended the session";
    if (*rows[i].last_reply) {
      EXPECT_EQ(rows[i].last_reply, endings[i]);
    }
  }
  EXPECT_EQ(normal_sent, normal_queued) << "the well-behaved client was served throughout";
  EXPECT_GE(normal_queued.size(), 5u);

  // The spool holds whole pages only: the well-behaved ones and the one
  // hostile page that was complete.
  std::set<std::string> spooled;
  for (const auto& [name, text] : snapshot(setup_.spool())) {
    SCOPED_TRACE(name);
    EXPECT_EQ('P', name[0]) << "no temporary or set-aside file";
    std::unique_ptr<callvane::page> p = callvane::read_page(setup_.spool() + "/" + name);
    ASSERT_TRUE(p) << text;
    ASSERT_TRUE(p->message) << text;
    EXPECT_EQ(std::string::npos, p->message->find('\0'));
    spooled.insert(*p->message);
  }
  for (const std::string& text : normal_queued) EXPECT_TRUE(spooled.count(text)) << text;
  for (const auto& row : rows) {
    if (!*row.marker) continue;
    bool found = false;
    for (const std::string& m : spooled) found = found || m.find(row.marker) != std::string::npos;
    EXPECT_EQ(row.queued, found) << row.name;
  }
  EXPECT_EQ(normal_queued.size() + 1, spooled.size());

  long peak = 0, growth = 0;
  for (const auto& [pid, kb] : memory) {
    peak = std::max(peak, kb.second);
    growth = std::max(growth, kb.second - kb.first);
  }
  if (SIZE_TELLS) {
    EXPECT_LT(growth, GROWTH_LIMIT_KB) << "a session kept what it was sent";
  }
  EXPECT_EQ(0, d.stop()) << d.log().substr(0, 4000);

  for (size_t i = 0; i < rows.size(); i++)
    std::cout << rows[i].name << ": ended after " << seconds[i] << " s with \""
              << endings[i].substr(0, 60) << "\"\n";
  std::cout << "well-behaved pages queued meanwhile " << normal_queued.size() << "/"
            << normal_sent.size() << "; session children " << memory.size() << ", peak RSS " << peak
            << " kB, largest growth " << growth << " kB; "
            << std::chrono::duration<double>(Clock::now() - started).count() << " s\n";
}

}  // namespace
