// The example configuration shipped in etc/ must load cleanly once its
// devices and directories exist.
#include <gtest/gtest.h>

#include <regex>

#include "config/groups.h"
#include "config_fixture.h"

using namespace callvane;
using callvane_test::ConfigTest;

using ExampleTest = ConfigTest;

TEST_F(ExampleTest, LoadsWithoutProblems) {
  std::string text = testsupport::read_file(testsupport::source_dir() + "/etc/callvane.conf");
  ASSERT_FALSE(text.empty());
  text = std::regex_replace(text, std::regex("/dev/tty(USB|S)[0-9]"), "/dev/null");
  text = std::regex_replace(text, std::regex("\nqueuedir=[^\n]*"), "\nqueuedir=" + dir_.path());
  text = std::regex_replace(text, std::regex("\nlockdir=[^\n]*"), "\nlockdir=" + dir_.path());
  std::string conf = dir_.write("example.conf", text);
  auto r = load(conf);
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(r.log, "");

  EXPECT_EQ(modems.size(), 2u);
  EXPECT_EQ(services.size(), 2u);
  EXPECT_EQ(pagers.size(), 3u);
  EXPECT_EQ(groups.size(), 2u);
  service* express = lookup(services, "express");
  ASSERT_NE(express, nullptr);
  EXPECT_EQ(express->device.value_or(""), "office,spare");
  EXPECT_EQ(express->maxpages, 3);
  EXPECT_EQ(express->allowpid, 1);
  EXPECT_EQ(lookup(pagers, "carol")->service, express);
  EXPECT_EQ(lookup(groups, "oncall")->members.size(), 4u);
  EXPECT_EQ(administrator.value_or(""), "pager-admin@example.org");
  EXPECT_EQ(forcehostname.value_or(""), "@example.org");
}

TEST_F(ExampleTest, CarrierExampleLoadsWithoutProblems) {
  std::string text =
      testsupport::read_file(testsupport::source_dir() + "/examples/carriers/callvane.conf");
  ASSERT_FALSE(text.empty());
  std::string ca = dir_.write("ca.pem", "checked when a call is made\n");
  text = std::regex_replace(text, std::regex("cafile=[^\n]*"), "cafile=" + ca);
  text = std::regex_replace(text, std::regex("\nqueuedir=[^\n]*"), "\nqueuedir=" + dir_.path());
  text = std::regex_replace(text, std::regex("\nlockdir=[^\n]*"), "\nlockdir=" + dir_.path());
  auto r = load(dir_.write("carriers.conf", text));
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(r.log, "");
  EXPECT_EQ(lookup(modems, "relay")->login.value_or(""), "acme");
  EXPECT_EQ(lookup(pagers, "carol")->service, lookup(services, "wctp"));
}

TEST_F(ExampleTest, SmsExampleLoadsWithoutProblems) {
  std::string text =
      testsupport::read_file(testsupport::source_dir() + "/examples/sms/callvane.conf");
  ASSERT_FALSE(text.empty());
  text = std::regex_replace(text, std::regex("/dev/tty(USB|S)[0-9]"), "/dev/null");
  text = std::regex_replace(text, std::regex("\nqueuedir=[^\n]*"), "\nqueuedir=" + dir_.path());
  text = std::regex_replace(text, std::regex("\nlockdir=[^\n]*"), "\nlockdir=" + dir_.path());
  auto r = load(dir_.write("sms.conf", text));
  EXPECT_EQ(r.count, 0) << r.log;
  EXPECT_EQ(r.log, "");
  EXPECT_EQ(lookup(pagers, "bob")->service->protocol, delivery_protocol::sms);
  EXPECT_EQ(lookup(groups, "oncall")->members.size(), 4u);
}
