// Per-service delivery against the simulated modem and paging terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "common/settings.h"
#include "config/config.h"
#include "config/loader.h"
#include "modem/dispatch.h"
#include "queue/jobs.h"
#include "support/builders.h"
#include "support/pty.h"
#include "support/pty_sim.h"
#include "support/support.h"

using namespace callvane;
using testsupport::contains;
using testsupport::pty_sim;

namespace {

class DeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    free_modems(modems);
    free_services(services);
    free_pagers(pagers);
    free_groups(groups);
    lockdir = locks_.path();
    debug = 1;
  }
  void TearDown() override {
    debug = 0;
    free_pagers(pagers);
    free_services(services);
    free_modems(modems);
  }

  modem* add_modem(const std::string& name, const std::string& device) {
    modems.push_front(modem{});
    modems.front().name = name;
    modems.front().device = device;
    return &modems.front();
  }
  service* add_service(const std::string& name, const std::string& devices) {
    services.push_front(service{});
    service& s = services.front();
    s.name = name;
    s.device = devices;
    s.phone = "5551234";
    s.password = "pw";
    return &s;
  }
  void add_pager(const std::string& name, const std::string& id, service* svc) {
    pagers.push_front(pager{name, std::nullopt, id, svc});
  }
  // A page to the given pagers (head of the list first), created at `created`.
  static page make_page(std::vector<std::string> names, const std::string& message,
                        int64_t created) {
    return testsupport::make_page(names, message, created, "ops@example.org", "ABCD000");
  }
  // Delivers the pages and returns what was logged.
  static std::string deliver(std::vector<page*> pages) {
    job_list jobs;
    testsupport::capture_fd err(2);
    for (page* p : pages) add_jobs(jobs, *p);
    send_jobs(jobs);
    return err.finish();
  }
  // Modem m1 on the simulator for service tap, with pagers ann and bob.
  void one_service(const pty_sim& sim) {
    add_modem("m1", sim.device());
    service* svc = add_service("tap", "m1");
    add_pager("ann", "1001", svc);
    add_pager("bob", "1002", svc);
  }
  // The lock file of a live process of another program (pid 1 never ends).
  std::string foreign_lock(const std::string& base) const {
    return locks_.write("LCK.." + base, "         1\n");
  }
  static void expect_outcome(const rcpt& r, uint32_t flags, int tries, int goodtries) {
    EXPECT_EQ(r.flags, flags) << r.pager;
    EXPECT_EQ(r.tries, tries) << r.pager;
    EXPECT_EQ(r.goodtries, goodtries) << r.pager;
  }
  bool lock_left(const std::string& device) const {
    return testsupport::file_exists(locks_.file("LCK.." + device.substr(device.rfind('/') + 1)));
  }

  testsupport::temp_dir locks_;
};

TEST_F(DeliveryTest, ThreeJobsOfOneServiceShareOneCall) {
  pty_sim sim;
  one_service(sim);
  page p1 = make_page({"ann", "bob"}, "first page", 100);
  page p2 = make_page({"ann"}, "second page", 50);
  std::string log = deliver({&p1, &p2});

  EXPECT_EQ(sim.events("dial").size(), 1u) << sim.record();
  EXPECT_EQ(sim.events("login").size(), 1u) << sim.record();
  EXPECT_EQ(sim.events("logout").size(), 1u) << sim.record();
  auto blocks = sim.events("block");
  ASSERT_EQ(blocks.size(), 3u) << sim.record();
  // Oldest page first within the service and level.
  EXPECT_EQ(blocks[0][2], "1001");
  EXPECT_EQ(blocks[0][3], "ops: second page");
  for (const page* p : {&p1, &p2})
    for (const rcpt& r : p->rcpts) {
      EXPECT_EQ(r.flags, F_SENT) << r.pager;
      EXPECT_EQ(r.tries, 1);
      EXPECT_EQ(r.goodtries, 1);
      EXPECT_GT(r.lasttry, 0);
    }
  EXPECT_EQ(log.find("new service: tap"), log.rfind("new service: tap")) << log;
  EXPECT_FALSE(lock_left(sim.device()));
}

TEST_F(DeliveryTest, EachServiceIsDialledInTurn) {
  pty_sim sim;
  add_modem("m1", sim.device());
  service* beta = add_service("beta", "m1");
  service* alpha = add_service("alpha", "m1");
  alpha->phone = "111";
  beta->phone = "222";
  add_pager("ann", "1001", beta);
  add_pager("bob", "1002", alpha);
  page p = make_page({"ann", "bob"}, "hello", 1);
  deliver({&p});
  auto dials = sim.events("dial");
  ASSERT_EQ(dials.size(), 2u) << sim.record();
  EXPECT_EQ(dials[0][2], "111");  // alpha sorts first
  EXPECT_EQ(dials[1][2], "222");
  EXPECT_EQ(sim.events("logout").size(), 2u) << sim.record();
  EXPECT_EQ(sim.events("block").size(), 2u);
}

TEST_F(DeliveryTest, LockedFirstModemFallsBackToTheSecond) {
  pty_sim sim;
  testsupport::temp_dir devs;
  std::string busy_dev = devs.write("ttyBUSY", "");
  std::string lock = foreign_lock("ttyBUSY");
  add_modem("m2", sim.device());
  add_modem("m1", busy_dev);
  service* svc = add_service("tap", "m1,m2");
  add_pager("ann", "1001", svc);
  page p = make_page({"ann"}, "via the second modem", 1);
  std::string log = deliver({&p});
  EXPECT_TRUE(contains(log, busy_dev + " already in use"));
  EXPECT_EQ(p.rcpts.front().flags, F_SENT) << log;
  EXPECT_EQ(sim.events("block").size(), 1u);
  EXPECT_TRUE(testsupport::file_exists(lock)) << "another program's lock stays";
}

TEST_F(DeliveryTest, NoUsableModemCostsNoGoodTry) {
  testsupport::temp_dir devs;
  std::string busy_dev = devs.write("ttyBUSY", "");
  foreign_lock("ttyBUSY");
  add_modem("m1", busy_dev);
  service* svc = add_service("tap", "m1,nonsense");
  add_pager("ann", "1001", svc);
  page p = make_page({"ann"}, "nowhere to go", 1);
  p.rcpts.front().flags = F_BUSY | F_SENDMAIL;
  std::string log = deliver({&p});
  const rcpt& r = p.rcpts.front();
  // The old outcome is cleared, the recipient's own flags are kept.
  expect_outcome(r, F_NOMODEM | F_SENDMAIL, 1, 0);
  EXPECT_TRUE(contains(log, "nonsense: no such modem"));
}

TEST_F(DeliveryTest, BusyCountsATryButNotAGoodTry) {
  pty_sim sim({"--dial-result", "BUSY"});
  one_service(sim);
  page p = make_page({"ann"}, "busy", 1);
  deliver({&p});
  const rcpt& r = p.rcpts.front();
  expect_outcome(r, F_BUSY, 1, 0);
  EXPECT_FALSE(lock_left(sim.device()));
}

TEST_F(DeliveryTest, StatusUnknownIsRetriedOnceOnANewCall) {
  // Every call ends the transfer with ESC EOT: status unknown twice for the
  // first job; the second job needs a call of its own.
  pty_sim sim({"--block-reply", "eot"});
  one_service(sim);
  page p = make_page({"ann", "bob"}, "unknown", 1);
  std::string log = deliver({&p});
  EXPECT_EQ(sim.events("dial").size(), 4u) << sim.record();
  EXPECT_EQ(sim.events("logout").size(), 0u) << "no logout on a dead line";
  for (const rcpt& r : p.rcpts) {
    expect_outcome(r, F_FORCED, 2, 2);
  }
  EXPECT_FALSE(lock_left(sim.device()));
}

TEST_F(DeliveryTest, RetryAfterStatusUnknownCanSucceed) {
  pty_sim sim({"--block-reply", "hangup", "--block-reply", "ack"});
  one_service(sim);
  page p = make_page({"ann"}, "second time lucky", 1);
  deliver({&p});
  const rcpt& r = p.rcpts.front();
  expect_outcome(r, F_SENT, 2, 2);
  EXPECT_EQ(sim.events("dial").size(), 2u);
}

TEST_F(DeliveryTest, RejectedTransferKeepsTheCallForTheNextJob) {
  pty_sim sim({"--block-reply", "rs", "--fault-block", "1"});
  one_service(sim);
  page p = make_page({"ann", "bob"}, "reject the first", 1);
  deliver({&p});
  EXPECT_EQ(p.rcpts.front().flags, F_REJECT);
  EXPECT_EQ(p.rcpts.front().goodtries, 1);
  EXPECT_EQ(p.rcpts.back().flags, F_SENT);
  EXPECT_EQ(sim.events("dial").size(), 1u) << sim.record();
  EXPECT_EQ(sim.events("logout").size(), 1u);
}

TEST_F(DeliveryTest, FailedLoginCountsAGoodTryAndHangsUp) {
  pty_sim sim({"--login-reply", "eot"});
  one_service(sim);
  page p = make_page({"ann"}, "forced", 1);
  deliver({&p});
  const rcpt& r = p.rcpts.front();
  expect_outcome(r, F_FORCED, 1, 1);
  EXPECT_EQ(sim.events("block").size(), 0u);
  EXPECT_FALSE(lock_left(sim.device()));
}

TEST_F(DeliveryTest, NoBytesOfOneDeviceReachTheNext) {
  // The first service's modem sends half a line and then falls silent.
  testsupport::pty_pair mute(false);
  int slave = mute.open_slave();  // held open so that the talker's bytes are taken
  ASSERT_GE(slave, 0);
  std::thread talker([master = mute.master] {
    usleep(1500 * 1000);  // after the open and its flush of pending input
    ssize_t n = write(master, "xyzzy", 5);
    (void)n;
  });
  pty_sim sim;
  add_modem("mute", mute.slave_name);
  add_modem("sim", sim.device());
  service* a = add_service("a-mute", "mute");
  service* b = add_service("b-sim", "sim");
  add_pager("ann", "1001", a);
  add_pager("bob", "1002", b);
  page p = make_page({"ann", "bob"}, "hello", 1);
  std::string log = deliver({&p});
  talker.join();
  close(slave);
  EXPECT_EQ(p.rcpts.front().flags, F_NOMODEM) << log;
  EXPECT_EQ(p.rcpts.back().flags, F_SENT) << log;
  size_t second = log.find("new service: b-sim");
  ASSERT_NE(second, std::string::npos) << log;
  EXPECT_EQ(log.find("xyzzy", second), std::string::npos) << log;
}

}  // namespace
