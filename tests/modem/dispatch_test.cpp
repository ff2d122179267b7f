// Job lists: which recipients become jobs, and in what order.
#include "modem/dispatch.h"

#include <gtest/gtest.h>

#include <ctime>

#include "common/settings.h"
#include "config/config.h"
#include "queue/jobs.h"
#include "support/builders.h"
#include "support/support.h"

using namespace callvane;
using testsupport::contains;
using testsupport::recipient;

namespace {

class JobListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    free_modems(modems);
    free_services(services);
    free_pagers(pagers);
    free_groups(groups);
    services.push_front(service{});
    services.front().name = "default";
    defservice = &services.front();
    alpha = add_service("alpha");
    beta = add_service("beta");
    add_pager("ann", "1001", beta);
    add_pager("bob", "1002", alpha);
    add_pager("cy", "1003", alpha);
    debug = 1;
  }
  void TearDown() override {
    debug = 0;
    free_pagers(pagers);
    free_services(services);
    defservice = nullptr;
  }

  service* add_service(const std::string& name) {
    services.push_front(service{});
    services.front().name = name;
    return &services.front();
  }
  void add_pager(const std::string& name, const std::string& id, service* svc) {
    pagers.push_front(pager{name, std::nullopt, id, svc});
  }
  static std::vector<std::string> drain(job_list& jobs) {
    std::vector<std::string> order;
    while (!jobs.empty()) {
      job j = jobs.pop_front();
      order.push_back(j.service->name + ":" + j.rcpt->pager + ":" +
                      std::to_string(j.page->created));
    }
    return order;
  }

  service* alpha = nullptr;
  service* beta = nullptr;
};

TEST_F(JobListTest, OrdersByServiceThenLevelThenCreationKeepingTies) {
  page newer, older;
  newer.created = 2000;
  older.created = 1000;
  // list order of a page is head first: ann (beta), bob (alpha, level 3), cy (alpha)
  newer.rcpts.push_front(recipient("cy"));
  newer.rcpts.push_front(recipient("bob", 3));
  newer.rcpts.push_front(recipient("ann"));
  older.rcpts.push_front(recipient("cy"));
  older.rcpts.push_front(recipient("ann"));
  job_list jobs;
  testsupport::capture_fd err(2);
  EXPECT_EQ(add_jobs(jobs, newer), 3);
  EXPECT_EQ(add_jobs(jobs, older), 2);
  std::string log = err.finish();
  EXPECT_TRUE(contains(log, "pager=ann, pagerid=1001, service=beta"));
  EXPECT_EQ(drain(jobs),
            (std::vector<std::string>{"alpha:cy:1000", "alpha:cy:2000", "alpha:bob:2000",
                                      "beta:ann:1000", "beta:ann:2000"}));
}

TEST_F(JobListTest, EqualKeysKeepInsertionOrder) {
  page p;
  p.created = 5;
  for (const char* name : {"cy", "bob", "cy", "bob"}) p.rcpts.push_back(recipient(name));
  job_list jobs;
  testsupport::capture_fd err(2);
  add_jobs(jobs, p);
  err.finish();
  std::vector<const rcpt*> order;
  while (!jobs.empty()) order.push_back(jobs.pop_front().rcpt);
  ASSERT_EQ(order.size(), 4u);
  auto it = p.rcpts.begin();
  for (const rcpt* r : order) EXPECT_EQ(r, &*it++);
}

TEST_F(JobListTest, HeldRecipientIsPendingWithoutJob) {
  page p;
  rcpt r = recipient("ann");
  r.holduntil = time(nullptr) + 86400;
  p.rcpts.push_front(r);
  job_list jobs;
  testsupport::capture_fd err(2);
  EXPECT_EQ(add_jobs(jobs, p), 1);
  std::string log = err.finish();
  EXPECT_TRUE(jobs.empty());
  EXPECT_EQ(p.flags & F_BADPAGE, 0u);
  EXPECT_TRUE(contains(log, "skipping ann until "));
}

TEST_F(JobListTest, UnknownPagerOrServiceMakesNoJobAndABadPage) {
  page p;
  p.rcpts.push_front(recipient("nobody"));
  rcpt covered = recipient("ann");
  covered.coverage = "nowhere";
  p.rcpts.push_front(covered);
  p.rcpts.push_front(recipient("12345"));  // digits but no F_RAWPID
  job_list jobs;
  testsupport::capture_fd err(2);
  EXPECT_EQ(add_jobs(jobs, p), 0);
  std::string log = err.finish();
  EXPECT_TRUE(jobs.empty());
  EXPECT_NE(p.flags & F_BADPAGE, 0u);
  EXPECT_TRUE(contains(log, "no such pager nobody\n"));
  EXPECT_TRUE(contains(log, "no such pager 12345\n"));
  EXPECT_TRUE(contains(log, "no such service nowhere\n"));
}

TEST_F(JobListTest, SentRecipientsAreNeitherJobsNorPending) {
  page p;
  rcpt done = recipient("ann");
  done.flags = F_SENT | F_SENDMAIL;
  p.rcpts.push_front(done);
  job_list jobs;
  EXPECT_EQ(add_jobs(jobs, p), 0);
  EXPECT_NE(p.flags & F_BADPAGE, 0u);
}

TEST_F(JobListTest, MaxtriesCountsOnlyGoodTries) {
  alpha->maxtries = 6;
  page p;
  p.filename = "P1.000";
  rcpt spent = recipient("bob");
  spent.goodtries = 6;
  spent.tries = 9;
  rcpt busy = recipient("cy");
  busy.tries = 20;
  busy.flags = F_BUSY;
  p.rcpts.push_front(spent);
  p.rcpts.push_front(busy);
  job_list jobs;
  testsupport::capture_fd err(2);
  EXPECT_EQ(add_jobs(jobs, p), 1);
  std::string log = err.finish();
  EXPECT_TRUE(contains(log, "too many retries for bob in P1.000"));
  const rcpt& first = p.rcpts.front();  // cy
  const rcpt& second = p.rcpts.back();  // bob
  EXPECT_EQ(first.flags & F_FAILED, 0u);
  EXPECT_NE(second.flags & F_FAILED, 0u);
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs.front().rcpt, &first);
}

TEST_F(JobListTest, RawPagerIdGetsItsOwnPagerRecord) {
  page p;
  rcpt raw = recipient("5551234");
  raw.flags = F_RAWPID;
  raw.coverage = "alpha";
  p.rcpts.push_front(raw);
  rcpt lost = recipient("777");
  lost.flags = F_RAWPID;  // no coverage: a raw id has no service of its own
  p.rcpts.push_front(lost);
  job_list jobs;
  testsupport::capture_fd err(2);
  EXPECT_EQ(add_jobs(jobs, p), 1);
  err.finish();
  ASSERT_EQ(jobs.size(), 1u);
  const job& j = jobs.front();
  EXPECT_EQ(j.pager->name, "5551234");
  EXPECT_EQ(j.pager->pagerid, "5551234");
  EXPECT_EQ(j.service, alpha);
}

TEST_F(JobListTest, CoverageOverridesThePagersService) {
  page p;
  rcpt r = recipient("ann");  // ann's own service is beta
  r.coverage = "alpha";
  p.rcpts.push_front(r);
  job_list jobs;
  testsupport::capture_fd err(2);
  add_jobs(jobs, p);
  err.finish();
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs.front().service, alpha);
}

}  // namespace
