// The HTTP intake's readers and the pager text of alert notifications.
#include "server/http_json.h"

#include <gtest/gtest.h>

#include <variant>

namespace {

using namespace callvane;

notification read_ok(webhook kind, const std::string& body) {
  auto r = read_notification(kind, body);
  EXPECT_TRUE(std::holds_alternative<notification>(r)) << body;
  return std::holds_alternative<notification>(r) ? std::get<notification>(r) : notification{};
}

const char MIXED[] =
    R"({"version":"4","status":"firing","truncatedAlerts":3,"alerts":[
      {"status":"firing","labels":{"alertname":"DiskFull"},"annotations":{"summary":"99%"}},
      {"status":"resolved","labels":{"alertname":"Gone"},"annotations":{"summary":"ok"}},
      {"status":"firing","labels":{"alertname":"Load"},"annotations":{"description":"high"}}]})";

TEST(HttpJsonTest, NotificationTextCountsAndListsTheAlertsOfItsState) {
  notification n = read_ok(webhook::alertmanager, MIXED);
  EXPECT_EQ("FIRING 5: DiskFull 99%; Load high; 3 more", pager_text(n, 80));
  // Cut to the room given, marked as cut.
  EXPECT_EQ("FIRING 5: DiskF...", pager_text(n, 18));
}

TEST(HttpJsonTest, GrafanaNeedsNoVersionAlertmanagerVersionFour) {
  const char body[] = R"({"status":"resolved","alerts":[{"status":"resolved"}]})";
  EXPECT_EQ("RESOLVED 1", pager_text(read_ok(webhook::grafana, body), 80));
  auto r = read_notification(webhook::alertmanager, body);
  ASSERT_TRUE(std::holds_alternative<field_error>(r));
  EXPECT_EQ("version", std::get<field_error>(r).field);
}

TEST(HttpJsonTest, PageRequestKeepsItsFieldsAndCleansTheMessage) {
  auto r = read_page_request(
      R"({"to":["alice","ops"],"message":"two\nlines  ","from":"carol","level":0,)"
      R"("hold":"991231235959","coverage":"spare"})");
  ASSERT_TRUE(std::holds_alternative<page_request>(r));
  const page_request& p = std::get<page_request>(r);
  EXPECT_EQ((std::vector<std::string>{"alice", "ops"}), p.to);
  EXPECT_EQ("two lines", p.message);
  EXPECT_EQ("carol", p.from.value_or(""));
  EXPECT_EQ(0, p.level);
  EXPECT_EQ("spare", p.coverage.value_or(""));
}

}  // namespace
