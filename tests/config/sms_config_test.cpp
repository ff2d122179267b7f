// SMS services in the configuration file: protocol=, a modem's pin=, and
// pagers that need an international number.
#include <gtest/gtest.h>

#include "config_fixture.h"

using namespace callvane;
using callvane_test::ConfigTest;

namespace {

TEST_F(ConfigTest, SmsServiceNeedsNoPhoneAndItsPagersInternationalNumbers) {
  auto r = parse(
      "modem=gsm device=/dev/null pin=0815\n"              // 1
      "modem=odd device=/dev/null pin=08x5\n"              // 2
      "service=sms device=gsm protocol=sms\n"              // 3
      "service=fax device=gsm protocol=fax phone=1\n"      // 4
      "pager=ann pagerid=+4512345678 service=sms\n"        // 5
      "pager=bob service=sms pagerid=4512345678\n"         // 6
      "pager=cid pagerid=+1234567890123456 service=sms\n"  // 7
      "pager=dan pagerid=12345 service=fax\n");            // 8
  // The bad pin, the unknown protocol, bob and cid.
  EXPECT_EQ(r.count, 4) << r.log;
  expect_logged(r, 2, "pin of modem=odd is not 4 to 8 digits");
  expect_logged(r, 4, "unknown protocol fax");
  expect_logged(r, 7, "pagerid 4512345678 of pager=bob is no international phone number");
  expect_logged(r, 8, "pagerid +1234567890123456 of pager=cid is no international phone number");
  EXPECT_FALSE(testsupport::contains(r.log, "08x5")) << "a PIN is never shown";
  EXPECT_EQ(lookup(services, "sms")->protocol, delivery_protocol::sms);
  EXPECT_EQ(lookup(services, "fax")->protocol, delivery_protocol::tap);
  EXPECT_EQ(lookup(modems, "gsm")->pin.value_or(""), "0815");
  EXPECT_FALSE(lookup(modems, "odd")->pin);
  EXPECT_NE(lookup(pagers, "ann"), nullptr);
  EXPECT_EQ(lookup(pagers, "bob"), nullptr);
  EXPECT_EQ(lookup(pagers, "cid"), nullptr);
  EXPECT_NE(lookup(pagers, "dan"), nullptr);
}

}  // namespace
