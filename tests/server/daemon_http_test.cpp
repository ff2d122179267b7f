// The HTTP intake of the daemon from outside: curl for a client, the simulated
// terminal for the pager, promtool for the metrics.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "support/cases.h"
#include "support/daemon_fixture.h"
#include "support/http_peer.h"
#include "support/pty_sim.h"
#include "support/sandbox.h"
#include "support/test_certs.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char URL[] = "http://127.0.0.1:8025";
const char TOKEN[] = "Authorization: Bearer s3cret-token";
const char HTTP_CONFIG[] =
    "httplisten=127.0.0.1:8025\nhttptoken=other-token\nhttptoken=s3cret-token\nhttptimeout=1\n"
    "service=spare device=sim phone=5550101\n";
const char READY[] = "HTTP intake on";

class DaemonHttpTest : public sandboxed_daemon {
 protected:
  // A daemon with the intake; `interval` as for -q (-1: no queue runs).
  void start(int interval, const std::string& body = "") {
    sim_ = std::make_unique<pty_sim>();
    daemon_ = std::make_unique<daemon_process>(
        setup_.write_sim_config(sim_->device(), HTTP_CONFIG + body), interval);
    ASSERT_TRUE(daemon_->wait_for_log(READY)) << daemon_->log();
  }
  http_reply post(const std::string& path, const std::string& body) {
    return http_call("POST", URL + path, body, {TOKEN});
  }
  http_reply get(const std::string& path) { return http_call("GET", URL + path, "", {TOKEN}); }
  // The id of a 202 answer, "" for any other.
  static std::string id_of(const http_reply& r) {
    size_t at = r.body.find("{\"id\":\"");
    return r.status == 202 && at == 0 ? r.body.substr(7, r.body.size() - 9) : "";
  }

  std::unique_ptr<pty_sim> sim_;
  std::unique_ptr<daemon_process> daemon_;
};

TEST_F(DaemonHttpTest, PageIsOnDiskBeforeItsIdAndShowsItsState) {
  start(-1);
  http_reply r =
      post("/api/v1/pages", R"({"to":["alice"],"message":"disk full on db1","from":"carol",)"
                            R"("level":5,"hold":"991231235959"})");
  std::string id = id_of(r);
  ASSERT_FALSE(id.empty()) << r.status << r.body << daemon_->log();
  auto files = setup_.spool_files("P");
  ASSERT_EQ(1u, files.size());
  std::string file = read_file(setup_.spool() + "/" + files[0]);
  EXPECT_TRUE(contains(file, "Servicelevel: 5\nPager: alice\n-\nFrom: carol\n"));
  EXPECT_TRUE(contains(file, "\nMessage: disk full on db1\n"));
  EXPECT_TRUE(contains(file, "\nUniqueID: " + id + "\n"));
  EXPECT_TRUE(contains(file, "Holduntil: "));

  http_reply state = get("/api/v1/pages/" + id);
  EXPECT_EQ(200, state.status);
  EXPECT_TRUE(contains(state.body, R"("state":"queued")"));
  EXPECT_TRUE(contains(state.body, R"({"due":)"));
  EXPECT_TRUE(contains(state.body, R"("pager":"alice","state":"queued","tries":0})"));
  EXPECT_EQ(404, get("/api/v1/pages/" + id + "x").status);
}

struct bad_request {
  const char* name;
  const char* method;
  const char* path;
  std::string body;
  bool token;
  int status;
  const char* field;  // named in the answer
};

const char GOOD[] = R"({"to":["alice"],"message":"m")";

class DaemonHttpRefusalTest : public DaemonHttpTest,
                              public ::testing::WithParamInterface<bad_request> {};

TEST_P(DaemonHttpRefusalTest, GetsItsStatusAndQueuesNothing) {
  start(-1, "group=day member=alice/Mo-Fr0900-0901\n");
  const bad_request& c = GetParam();
  std::vector<std::string> headers;
  if (c.token) headers.push_back(TOKEN);
  http_reply r = http_call(c.method, std::string(URL) + c.path, c.body, headers);
  EXPECT_EQ(c.status, r.status) << r.body;
  EXPECT_TRUE(contains(r.body, std::string("\"field\":\"") + c.field + "\""));
  EXPECT_TRUE(setup_.spool_files("P").empty());
  EXPECT_EQ(std::string::npos, daemon_->log().find("s3cret")) << "tokens are never logged";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonHttpRefusalTest,
    ::testing::Values(
        bad_request{"NoToken", "POST", "/api/v1/pages", GOOD + std::string("}"), false, 401,
                    "authorization"},
        bad_request{"NotJson", "POST", "/api/v1/pages", "to=alice", true, 400, "body"},
        bad_request{"NoTo", "POST", "/api/v1/pages", R"({"message":"m"})", true, 400, "to"},
        bad_request{"EmptyTo", "POST", "/api/v1/pages", R"({"to":[],"message":"m"})", true, 400,
                    "to"},
        bad_request{"UnknownPager", "POST", "/api/v1/pages", R"({"to":["bob"],"message":"m"})",
                    true, 400, "to"},
        bad_request{"NobodyOnDuty", "POST", "/api/v1/pages", R"({"to":["day"],"message":"m"})",
                    true, 400, "to"},
        bad_request{"EmptyMessage", "POST", "/api/v1/pages", R"({"to":["alice"],"message":" "})",
                    true, 400, "message"},
        bad_request{"LongMessage", "POST", "/api/v1/pages",
                    R"({"to":["alice"],"message":")" + std::string(65537, 'x') + "\"}", true, 400,
                    "message"},
        bad_request{"LongFrom", "POST", "/api/v1/pages",
                    GOOD + std::string(R"(,"from":")") + std::string(256, 'c') + "\"}", true, 400,
                    "from"},
        bad_request{"Level", "POST", "/api/v1/pages", GOOD + std::string(R"(,"level":12})"), true,
                    400, "level"},
        bad_request{"Hold", "POST", "/api/v1/pages", GOOD + std::string(R"(,"hold":"soon"})"), true,
                    400, "hold"},
        bad_request{"Coverage", "POST", "/api/v1/pages",
                    GOOD + std::string(R"(,"coverage":"mars"})"), true, 400, "coverage"},
        bad_request{"UnknownField", "POST", "/api/v1/pages", GOOD + std::string(R"(,"pager":1})"),
                    true, 400, "pager"},
        bad_request{"Oversized", "POST", "/api/v1/pages", std::string(300 * 1024, ' '), true, 413,
                    "body"},
        bad_request{"WebhookVersion", "POST", "/api/v1/alertmanager/alice",
                    R"({"version":"3","status":"firing","alerts":[{}]})", true, 400, "version"},
        bad_request{"Method", "GET", "/api/v1/pages", "", true, 405, "method"},
        bad_request{"Path", "GET", "/api/v2/pages", "", true, 404, "path"}),
    by_name());

TEST_F(DaemonHttpTest, WrongTokenIsRefusedAndGoodOneOfSeveralTaken) {
  start(-1);
  http_reply r = http_call("POST", std::string(URL) + "/api/v1/pages", GOOD + std::string("}"),
                           {"Authorization: Bearer s3cret-tokeN"});
  EXPECT_EQ(401, r.status);
  EXPECT_EQ(401, http_call("GET", std::string(URL) + "/metrics").status);
  EXPECT_TRUE(setup_.spool_files("P").empty());
  EXPECT_EQ(202, http_call("POST", std::string(URL) + "/api/v1/pages", GOOD + std::string("}"),
                           {"Authorization: Bearer other-token"})
                     .status);
}

TEST_F(DaemonHttpTest, HostRulesOfItsOwnDaemonNameRefuseWith403) {
  sandbox::file_override deny("/etc/hosts.deny", "callvane-http: 127.0.0.1\n");
  start(-1);
  http_reply r = post("/api/v1/pages", GOOD + std::string("}"));
  EXPECT_EQ(403, r.status) << r.body;
  EXPECT_TRUE(setup_.spool_files("P").empty());
  snpp_connection snpp;
  EXPECT_EQ(0u, snpp.line().value_or("").find("220 ")) << "SNPP keeps its own rules";
}

TEST_F(DaemonHttpTest, HttpsOnIpv6TakesPagesAndPlainHttpIsNoWayIn) {
  test_certs certs;
  pty_sim sim;
  daemon_process d(setup_.write_sim_config(sim.device(),
                                           "httplisten=[::1]:8025\n"
                                           "httptoken=s3cret-token\nhttpcert=" +
                                               certs.cert() + "\nhttpkey=" + certs.key() + "\n"),
                   -1);
  ASSERT_TRUE(d.wait_for_log(READY)) << d.log();
  const std::string body = GOOD + std::string("}");
  EXPECT_NE(202, http_call("POST", "http://[::1]:8025/api/v1/pages", body, {TOKEN}).status);
  http_reply r =
      http_call("POST", "https://[::1]:8025/api/v1/pages", body, {TOKEN}, {"--cacert", certs.ca()});
  EXPECT_EQ(202, r.status) << r.body << d.log();
  EXPECT_EQ(1u, setup_.spool_files("P").size());
}

TEST_F(DaemonHttpTest, ReloadServesTheNewTokensAndOpensMetricsWhenAsked) {
  start(-1);
  EXPECT_EQ(401, http_call("GET", std::string(URL) + "/metrics").status);
  setup_.write_sim_config(sim_->device(),
                          "httplisten=127.0.0.1:8025\nhttptoken=new-token\nhttpmetrics=open\n");
  daemon_->signal(SIGHUP);
  ASSERT_TRUE(daemon_->wait_for_log(READY, 2)) << daemon_->log();
  EXPECT_EQ(200, http_call("GET", std::string(URL) + "/metrics").status);
  const std::string body = GOOD + std::string("}");
  EXPECT_EQ(401, post("/api/v1/pages", body).status) << "the old token is gone";
  EXPECT_EQ(202, http_call("POST", std::string(URL) + "/api/v1/pages", body,
                           {"Authorization: Bearer new-token"})
                     .status);
}

TEST_F(DaemonHttpTest, SlowClientIsCutOffAtTheDeadline) {
  start(-1);
  snpp_connection c("127.0.0.1", 8025);
  ASSERT_TRUE(c.connected());
  // A byte now and then keeps any idle time-out from firing; the deadline
  // of the whole request (httptimeout=1) still does.
  const std::string request =
      "POST /api/v1/pages HTTP/1.1\r\nHost: x\r\nX-Slow: " + std::string(200, 'a');
  bool cut = false;
  for (size_t i = 0; i < request.size() && !cut; i++) {
    c.send(request.substr(i, 1));
    cut = c.wait_closed(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(cut);
  EXPECT_TRUE(daemon_->wait_for_log("connection cut"));
}

TEST_F(DaemonHttpTest, FullSpoolAnswers503AndQueuesNothing) {
  ASSERT_EQ(0, mount("tmpfs", setup_.spool().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                     "size=16k,mode=0777"));
  start(-1);
  {
    FILE* f = fopen((setup_.spool() + "/filler").c_str(), "w");
    ASSERT_NE(nullptr, f);
    std::string block(1024, 'x');
    while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
    }
    fclose(f);
  }
  http_reply r = post("/api/v1/pages", GOOD + std::string("}"));
  EXPECT_EQ(503, r.status) << r.body;
  EXPECT_TRUE(setup_.spool_files("P").empty());
  umount2(setup_.spool().c_str(), MNT_DETACH);
}

TEST_F(DaemonHttpTest, PageIsDeliveredThenShownFinishedAndCounted) {
  // No run before the page's own request: the interval is an hour.
  start(3600);
  std::string id = id_of(post("/api/v1/pages", R"({"to":["alice"],"message":"over http"})"));
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(wait_until([&] { return !sim_->events("block").empty(); }, 30s, 20ms));
  EXPECT_EQ("over http", sim_->events("block")[0][3]);
  ASSERT_TRUE(wait_until([&] { return setup_.spool_files("P").empty(); }, 30s, 20ms));

  http_reply state = get("/api/v1/pages/" + id);
  EXPECT_TRUE(contains(state.body, R"("pager":"alice","state":"delivered","tries":1)"));
  EXPECT_TRUE(contains(state.body, R"("state":"finished")"));

  http_reply metrics = get("/metrics");
  ASSERT_EQ(200, metrics.status);
  run_options opts;
  opts.input = metrics.body;
  run_result check = run({"/usr/bin/promtool", "check", "metrics"}, opts);
  EXPECT_EQ(0, check.status) << check.out << check.err << metrics.body;
  EXPECT_TRUE(contains(metrics.body, "callvane_pages_accepted_total{intake=\"http\"} 1\n"));
  EXPECT_TRUE(contains(metrics.body, "callvane_recipients_delivered_total 1\n"));
  EXPECT_TRUE(contains(metrics.body, "callvane_tries_total{service=\"default\"} 1\n"));
}

TEST_F(DaemonHttpTest, KilledIntakeIsStartedAgain) {
  start(-1);
  std::vector<pid_t> before = children_of(daemon_->pid());
  ASSERT_EQ(1u, before.size());
  kill(before[0], SIGKILL);
  ASSERT_TRUE(wait_until(
      [&] {
        auto now = children_of(daemon_->pid());
        return now.size() == 1 && now[0] != before[0];
      },
      10s));
  ASSERT_TRUE(daemon_->wait_for_log(READY, 2));
  EXPECT_EQ(202, post("/api/v1/pages", GOOD + std::string("}")).status);
}

}  // namespace
