// Network terminal devices: their form, and how the loader takes them.
#include "config/netdevice.h"

#include <gtest/gtest.h>

#include "config_fixture.h"

namespace {

using namespace callvane;
using testsupport::contains;

struct form_case {
  const char* device;
  bool ok;
  bool tls;
  const char* host;  // or the reason when not ok
  const char* port;
};

class NetDeviceForm : public ::testing::TestWithParam<form_case> {};

TEST_P(NetDeviceForm, ParsesOrSaysWhy) {
  const form_case& c = GetParam();
  ASSERT_TRUE(is_net_device(c.device)) << c.device;
  std::string why;
  auto got = parse_net_device(c.device, why);
  ASSERT_EQ(c.ok, got.has_value()) << c.device << ": " << why;
  if (c.ok) {
    EXPECT_EQ(c.tls, got->tls);
    EXPECT_EQ(c.host, got->host);
    EXPECT_EQ(c.port, got->port);
  } else {
    EXPECT_EQ(c.host, why) << c.device;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, NetDeviceForm,
    ::testing::Values(
        form_case{"tcp:pager.example.net:5000", true, false, "pager.example.net", "5000"},
        form_case{"tls:10.0.0.7:1", true, true, "10.0.0.7", "1"},
        form_case{"tls:[::1]:65535", true, true, "::1", "65535"},
        form_case{"tcp:[2001:db8::5]:444", true, false, "2001:db8::5", "444"},
        form_case{"snpp:[::1]:444", true, false, "::1", "444"},
        form_case{"wctp:https://wctp.example.net/wctp", true, true, "wctp.example.net", ""},
        form_case{"wctp:http://127.0.0.1:8080/w", true, false, "127.0.0.1", "8080"},
        form_case{"wctp:http://[::1]/w", true, false, "::1", ""},
        form_case{"wctp:http://wctp.example.net/w", false, false,
                  "plain http only to a loopback address", ""},
        form_case{"wctp:ftp://wctp.example.net/w", false, false, "not an https URL", ""},
        form_case{"wctp:not a url", false, false, "bad URL", ""},
        form_case{"udp:host:5000", false, false, "unknown scheme \"udp\" (tcp, tls, snpp or wctp)", ""},
        form_case{"TCP:host:5000", false, false, "unknown scheme \"TCP\" (tcp, tls, snpp or wctp)", ""},
        form_case{"tcp:host", false, false, "no port", ""},
        form_case{"tcp:host:", false, false, "no port", ""},
        form_case{"tcp::5000", false, false, "no host", ""},
        form_case{"tcp:host:0", false, false, "bad port", ""},
        form_case{"tcp:host:65536", false, false, "bad port", ""},
        form_case{"tcp:host:50x", false, false, "bad port", ""},
        form_case{"tcp:host:+50", false, false, "bad port", ""},
        form_case{"tcp:bad_host:50", false, false, "bad host", ""},
        form_case{"tcp:-x:50", false, false, "bad host", ""},
        form_case{"tcp:::1:50", false, false, "an IPv6 address goes in brackets", ""},
        form_case{"tcp:[::1:50", false, false, "no closing bracket", ""},
        form_case{"tcp:[::1]50", false, false, "no port", ""},
        form_case{"tcp:[not-v6]:50", false, false, "bad IPv6 address", ""}));

TEST(NetDeviceText, PathsAreNotNetworkDevicesAndAddressesAreShownBracketed) {
  for (const char* path : {"/dev/ttyS0", "/tmp/a:b", "modem", "", ":x", "9p:x"})
    EXPECT_FALSE(is_net_device(path)) << path;
  std::string why;
  EXPECT_EQ("[::1]:7", net_device_text(*parse_net_device("tcp:[::1]:7", why)));
  EXPECT_EQ("localhost:7", net_device_text(*parse_net_device("tls:localhost:7", why)));
}

using callvane_test::ConfigTest;

class NetDeviceConfig : public ConfigTest {};

TEST_F(NetDeviceConfig, NetworkModemNeedsNoPhoneAndKeepsItsTlsSettings) {
  std::string ca = dir_.write("ca.pem", "not checked here\n");
  auto r = parse("modem=carrier device=tls:[::1]:5000 cafile=" + ca +
                 " servername=pager.example.net\n"
                 "service=default device=carrier password=secret\n");
  EXPECT_EQ(0, r.count) << r.log;
  const modem* m = lookup(modems, "carrier");
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("tls:[::1]:5000", m->device.value_or(""));
  EXPECT_EQ(ca, m->cafile.value_or(""));
  EXPECT_EQ("pager.example.net", m->servername.value_or(""));
  EXPECT_FALSE(contains(r.log, "no phone number"));
}

TEST_F(NetDeviceConfig, CarriersNeedNoPhoneAndKeepTheirAccounts) {
  auto r = parse("modem=relay device=snpp:127.0.0.1:444 login=acme password=s3cret\n"
                 "modem=wctp device=wctp:https://wctp.example.net/ login=acme\n"
                 "service=default device=relay,wctp\n");
  EXPECT_EQ(0, r.count) << r.log;
  const modem* m = lookup(modems, "relay");
  ASSERT_NE(nullptr, m);
  EXPECT_EQ("acme", m->login.value_or(""));
  EXPECT_EQ("s3cret", m->password.value_or(""));
  EXPECT_FALSE(contains(r.log, "s3cret"));
}

TEST_F(NetDeviceConfig, ServiceWithASerialModemBesideStillNeedsAPhone) {
  std::string tty = dir_.write("tty", "");
  auto r = parse("modem=carrier device=tcp:localhost:5000\nmodem=local device=" + tty +
                 "\nservice=default device=carrier,local\n");
  EXPECT_EQ(1, r.count) << r.log;
  EXPECT_TRUE(contains(r.log, at(3) + "no phone number for service=default"));
}

struct bad_case {
  const char* line;
  const char* message;
};

class NetDeviceConfigErrors : public ConfigTest, public ::testing::WithParamInterface<bad_case> {};

TEST_P(NetDeviceConfigErrors, AreCountedAndNamed) {
  auto r = parse(std::string("modem=carrier ") + GetParam().line + "\n");
  EXPECT_GE(r.count, 1) << r.log;
  EXPECT_TRUE(contains(r.log, at(1) + GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NetDeviceConfigErrors,
    ::testing::Values(
        bad_case{"device=tcp:host", "bad network device tcp:host: no port"},
        bad_case{"device=ftp:host:21", "bad network device ftp:host:21: unknown scheme \"ftp\""},
        bad_case{"device=tls:[::1:5", "bad network device tls:[::1:5: no closing bracket"},
        bad_case{"device=tcp:h:99999", "bad network device tcp:h:99999: bad port"},
        bad_case{"device=tls:h:5 cafile=/nonexistent/ca.pem",
                 "cannot access /nonexistent/ca.pem: No such file or directory"}));

}  // namespace
