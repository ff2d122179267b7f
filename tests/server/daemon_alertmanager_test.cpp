// Alert webhooks end to end: the real Alertmanager, configured with the README's
// receiver, notifies the gateway and the page reaches the simulated terminal;
// the README's Grafana contact point is checked against the gateway as written.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>

#include "support/daemon_fixture.h"
#include "support/http_peer.h"
#include "support/pty_sim.h"
#include "support/wait.h"

namespace {

using namespace testsupport;

const char HTTP_CONFIG[] =
    "httplisten=127.0.0.1:8025\nhttptoken=s3cret-token\ngroup=oncall member=alice\n";
const char READY[] = "HTTP intake on";
// Alertmanager as fast as it goes: notify at once, flush changes every second.
const char ROUTE[] =
    "route:\n  receiver: callvane\n  group_by: [instance]\n"
    "  group_wait: 0s\n  group_interval: 1s\n  repeat_interval: 1h\n";

// The README's ```yaml block whose first line is `first`.
std::string readme_block(const std::string& first) {
  std::string readme = read_file(source_dir() + "/README.md");
  size_t start = readme.find("```yaml\n" + first + "\n");
  if (start == std::string::npos) return "";
  start += 8;
  return readme.substr(start, readme.find("```", start) - start);
}

// The value after "key: " on its line of a block.
std::string yaml_value(const std::string& block, const std::string& key) {
  size_t at = block.find(key + ": ");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return block.substr(at, block.find('\n', at) - at);
}

// Two alerts of one instance; ended a minute ago with `resolved`.
std::string alerts(bool resolved) {
  std::string ends;
  if (resolved) {
    time_t past = time(nullptr) - 60;
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime(&past));
    ends = std::string(R"(,"endsAt":")") + text + "\"";
  }
  return R"([{"labels":{"alertname":"DiskFull","instance":"db1"},)"
         R"("annotations":{"summary":"disk at 99%"})" +
         ends +
         R"(},{"labels":{"alertname":"HighLoad","instance":"db1"},)"
         R"("annotations":{"summary":"load above 8"})" +
         ends + "}]";
}

using DaemonAlertmanagerTest = sandboxed_daemon;

TEST_F(DaemonAlertmanagerTest, GroupedAlertsReachThePagerAsOnePageAndTheirResolutionFollows) {
  std::string receiver = readme_block("receivers:");
  ASSERT_FALSE(receiver.empty());
  pty_sim sim;
  // Queue runs only on the pages' requests.
  daemon_process d(setup_.write_sim_config(sim.device(), HTTP_CONFIG), 3600);
  ASSERT_TRUE(d.wait_for_log(READY)) << d.log();
  alertmanager am(std::string(ROUTE) + receiver);

  ASSERT_TRUE(am.post_alerts(alerts(false)));
  auto blocks = [&] { return sim.events("block"); };
  ASSERT_TRUE(wait_until([&] { return !blocks().empty(); }, 30s, 20ms)) << d.log() << am.log();
  std::string firing = blocks()[0][3];
  EXPECT_EQ(0u, firing.find("FIRING 2: ")) << firing;
  EXPECT_TRUE(contains(firing, "DiskFull disk at 99%"));
  EXPECT_TRUE(contains(firing, "HighLoad load above 8"));

  ASSERT_TRUE(am.post_alerts(alerts(true)));
  ASSERT_TRUE(wait_until([&] { return blocks().size() >= 2; }, 30s, 20ms)) << d.log() << am.log();
  EXPECT_EQ(0u, blocks()[1][3].find("RESOLVED 2: ")) << blocks()[1][3];
  EXPECT_EQ(2u, blocks().size());
}

TEST_F(DaemonAlertmanagerTest, GrafanaContactPointFromTheReadmeQueuesOnePage) {
  std::string contact = readme_block("apiVersion: 1");
  std::string url = yaml_value(contact, "url");
  ASSERT_EQ(0u, url.find("http://127.0.0.1:8025/")) << contact;
  std::string authorization = yaml_value(contact, "authorization_scheme") + " " +
                              yaml_value(contact, "authorization_credentials");
  daemon_process d(setup_.write_config("pager=alice pagerid=1234567\n" + std::string(HTTP_CONFIG)),
                   -1);
  ASSERT_TRUE(d.wait_for_log(READY)) << d.log();
  // What Grafana sends, in the shape of its webhook notifier.
  const std::string payload =
      R"({"receiver":"callvane","status":"firing","orgId":1,"state":"alerting",)"
      R"("title":"[FIRING:1] HighLatency","message":"","version":"1","truncatedAlerts":0,)"
      R"("alerts":[{"status":"firing","labels":{"alertname":"HighLatency","grafana_folder":"ops"},)"
      R"("annotations":{"summary":"p99 above 2s"},"startsAt":"2026-01-01T00:00:00Z",)"
      R"("endsAt":"0001-01-01T00:00:00Z","values":{"B":2.5},"valueString":"B=2.5"}],)"
      R"("groupLabels":{"alertname":"HighLatency"},"commonLabels":{},"externalURL":""})";
  http_reply r = http_call(yaml_value(contact, "httpMethod"), url, payload,
                           {"Authorization: " + authorization});
  EXPECT_EQ(202, r.status) << r.body;
  auto files = setup_.spool_files("P");
  ASSERT_EQ(1u, files.size());
  EXPECT_TRUE(contains(read_file(setup_.spool() + "/" + files[0]),
                       "\nMessage: FIRING 1: HighLatency p99 above 2s\n"));
}

}  // namespace
