// The failure and status mails, byte for byte, and the sender address rules.
#include "notify/report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "common/text.h"
#include "config/config.h"
#include "support/support.h"

namespace callvane {
namespace {

using testsupport::capture_fd;

// Recipients are given head first, as the page lists them.
page make_page(const std::vector<std::pair<std::string, uint32_t>>& rcpts) {
  page p;
  p.created = testsupport::utc(2024, 3, 5, 14, 7, 9);
  p.messageid = "Ab3x001";
  p.filename = "P1709647629.001";
  p.from = "alice";
  p.ident = "alice";
  p.hostname = "client.example.org";
  p.message = "Disk full on db1";
  for (auto it = rcpts.rbegin(); it != rcpts.rend(); ++it) {
    rcpt r;
    r.pager = it->first;
    r.flags = it->second;
    p.rcpts.push_front(r);
  }
  return p;
}

class Reports : public ::testing::Test {
 protected:
  void SetUp() override {
    administrator = "pager-admin@example.org";
    forcehostname.reset();
    sigfile.reset();
    debug = 0;
  }
  void TearDown() override {
    administrator.reset();
    forcehostname.reset();
    sigfile.reset();
    debug = 0;
  }
  testsupport::time_zone utc_{"UTC"};
  const std::string user_ = current_user();
};

TEST_F(Reports, AdminMailForOneFailedAndOneStillTrying) {
  page p = make_page({{"bob", F_FAILED}, {"carol", F_BUSY}});
  EXPECT_EQ("From: Callvane Daemon <" + user_ +
                ">\n"
                "To: Callvane Administrator <pager-admin@example.org>\n"
                "Subject: A page has failed.\n"
                "\n"
                "The following page could not be delievered to one or more recipients:\n"
                "\n"
                "\tDate:  Tue Mar  5 14:07:09 2024\n"
                "\tMsgID: Ab3x001\n"
                "\tFile:  P1709647629.001\n"
                "\tFrom:  alice\n"
                "\tIdent: alice\n"
                "\tHost:  client.example.org\n"
                "\n"
                "\tPager                         Status\n"
                "\t-----                         ------\n"
                "\tbob                           Failed\n"
                "\tcarol                         Still trying\n"
                "\n"
                "\n\nRegards,\nCallvane\n"
                "\n.\n",
            admin_report(p));
}

TEST_F(Reports, AdminMailWhenEveryoneIsFinishedAsksForRemoval) {
  page p = make_page({{"bob", F_FAILED}, {"carol", F_SENT}});
  p.messageid.reset();
  p.filename.reset();
  p.from.reset();
  p.ident.reset();
  p.hostname.reset();
  p.login = "ops";
  EXPECT_EQ("From: Callvane Daemon <" + user_ +
                ">\n"
                "To: Callvane Administrator <pager-admin@example.org>\n"
                "Subject: A page has failed.\n"
                "\n"
                "The following page could not be delievered to one or more recipients:\n"
                "\n"
                "\tDate:  Tue Mar  5 14:07:09 2024\n"
                "\tAuth:  ops\n"
                "\n"
                "\tPager                         Status\n"
                "\t-----                         ------\n"
                "\tbob                           Failed\n"
                "\tcarol                         Delivered\n"
                "\n"
                "This page should be manually removed from the page queue.\n"
                "\n\nRegards,\nCallvane\n"
                "\n.\n",
            admin_report(p));
}

TEST_F(Reports, StatusMailWrapsTheMessageAndListsEveryRecipient) {
  page p = make_page({{"bob", F_SENT | F_SENDMAIL},
                      {"carol", F_FAILED},
                      {"dave", 0},
                      {"a-very-long-pager-name-for-testing-x", F_SENT}});
  p.login = "alice-login";
  p.ident.reset();
  p.message =
      "The server room temperature has reached 41 degrees; please check the cooling units on "
      "floor three at once. Ref: ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 "
      "end";
  std::string mail = sender_report(p, "alice@example.org");
  EXPECT_EQ("From: Callvane Daemon <" + user_ +
                ">\n"
                "To: Callvane User <alice@example.org>\n"
                "Subject: The status of your page\n"
                "Reply-To: pager-admin@example.org\n"
                "\n"
                "The page you submitted has the following status:\n"
                "\n"
                "\tDate:    Tue Mar  5 14:07:09 2024\n"
                "\tFrom:    alice\n"
                "\tAuth:    alice-login\n"
                "\tHost:    client.example.org\n"
                "\n"
                "\tMessage: The server room temperature has reached 41 \n"
                "\t         degrees; please check the cooling units on floor \n"
                "\t         three at once. Ref: \n"
                "\t         ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvw\n"
                "\t         xyz0123456789 end\n"
                "\n"
                "\tPager                         Status\n"
                "\t-----                         ------\n"
                "\tbob                           Delivered\n"
                "\tcarol                         Failed\n"
                "\tdave                          Still trying\n"
                "\ta-very-long-pager-name-for-testing-xDelivered\n"
                "\n"
                "Regards,\nCallvane\n"
                "\n.\n",
            mail);
}

TEST_F(Reports, StatusMailWithoutAdministratorOrMessage) {
  administrator.reset();
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  p.message.reset();
  p.hostname.reset();
  EXPECT_EQ("From: Callvane Daemon <" + user_ +
                ">\n"
                "To: Callvane User <alice>\n"
                "Subject: The status of your page\n"
                "\n"
                "The page you submitted has the following status:\n"
                "\n"
                "\tDate:    Tue Mar  5 14:07:09 2024\n"
                "\tFrom:    alice\n"
                "\tIdent:   alice\n"
                "\n"
                "\tMessage: \n"
                "\n"
                "\tPager                         Status\n"
                "\t-----                         ------\n"
                "\tbob                           Delivered\n"
                "\n"
                "Regards,\nCallvane\n"
                "\n.\n",
            sender_report(p, "alice"));
}

TEST_F(Reports, NoMessageLineIsLongerThanTheWidth) {
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  p.message = testsupport::short_words(700) + " " + std::string(130, 'x');
  std::string mail = sender_report(p, "alice");
  size_t pieces = 0;
  for (size_t pos = 0; (pos = mail.find("\t", pos)) != std::string::npos; pos++) {
    std::string rest = mail.substr(pos);
    if (!rest.starts_with("\tMessage: ") && !rest.starts_with("\t         ")) continue;
    std::string line = rest.substr(10, rest.find('\n') - 10);
    EXPECT_LE(line.size(), 49u) << line;
    pieces++;
  }
  // 830 characters need at least 17 pieces of 49.
  EXPECT_GE(pieces, 17u);
}

TEST_F(Reports, SignatureFileReplacesTheDefaultClosing) {
  testsupport::temp_dir dir;
  sigfile = dir.write("sig", "-- \nThe paging desk\n  ext. 4711\n");
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  std::string mail = sender_report(p, "alice");
  EXPECT_TRUE(
      mail.ends_with("\tbob                           Delivered\n\n"
                     "-- \nThe paging desk\n  ext. 4711\n\n.\n"))
      << mail;
  EXPECT_EQ(std::string::npos, mail.find("Regards,"));
}

TEST_F(Reports, UnreadableSignatureFileGivesTheDefaultClosingAndAWarning) {
  testsupport::temp_dir dir;
  debug = 1;
  page p = make_page({{"bob", F_SENT | F_SENDMAIL}});
  for (const std::string& path : {dir.file("missing"), dir.path()}) {
    sigfile = path;
    capture_fd err(2);
    std::string mail = sender_report(p, "alice");
    EXPECT_EQ("cannot open signature file <" + path + ">\n\n", err.finish());
    EXPECT_TRUE(mail.ends_with("Delivered\n\nRegards,\nCallvane\n\n.\n")) << mail;
  }
}

TEST_F(Reports, AppendSignature) {
  testsupport::temp_dir dir;
  std::string text = "kept";
  EXPECT_EQ(-1, append_signature(text, std::nullopt));
  EXPECT_EQ("kept", text);
  std::string binary("a\0b\r\n\x80", 6);
  EXPECT_EQ(0, append_signature(text, dir.write("sig", binary)));
  EXPECT_EQ("kept" + binary, text);
  // A huge file is cut, not read without end.
  std::string big(200 * 1024, 's');
  debug = 1;
  capture_fd err(2);
  std::string out;
  EXPECT_EQ(0, append_signature(out, dir.write("big", big)));
  EXPECT_EQ(64u * 1024, out.size());
  EXPECT_NE(std::string::npos, err.finish().find("cut at 65536 bytes"));
}

struct address_case {
  const char* name;
  std::optional<std::string> forcehostname;
  std::string from;
  std::optional<std::string> hostname;
  std::string want;
};

void PrintTo(const address_case& c, std::ostream* os) { *os << c.name; }

class SenderAddress : public ::testing::TestWithParam<address_case> {
 protected:
  void TearDown() override { forcehostname.reset(); }
};

TEST_P(SenderAddress, FollowsForcehostname) {
  const address_case& c = GetParam();
  forcehostname = c.forcehostname;
  page p;
  p.from = c.from;
  p.hostname = c.hostname;
  EXPECT_EQ(c.want, sender_address(p));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SenderAddress,
    ::testing::Values(
        address_case{"Unset", std::nullopt, "alice", "client.example.org", "alice"},
        address_case{"Domain", "@example.org", "alice", "client.example.org", "alice@example.org"},
        address_case{"DomainKeepsAt", "@example.org", "bob@other.net", "h", "bob@other.net"},
        address_case{"True", "true", "alice", "client.example.org", "alice@client.example.org"},
        address_case{"TrueWithoutHost", "true", "alice", std::nullopt, "alice"},
        address_case{"TrueKeepsAt", "true", "bob@other.net", "client", "bob@other.net"},
        address_case{"TrueIpv4Literal", "true", "alice", "[192.0.2.7]", "alice@[192.0.2.7]"},
        address_case{"TrueIpv6Literal", "true", "alice", "[2001:db8::7]",
                     "alice@[IPv6:2001:db8::7]"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace callvane
