// WCTP documents: the submit request built for a job, and what each answer comes to.
#include <gtest/gtest.h>

#include "common/page.h"
#include "modem/wctp_xml.h"
#include "modem/wctpline.h"
#include "support/builders.h"
#include "support/cases.h"
#include "support/support.h"

using namespace callvane;
using testsupport::contains;

namespace {

// 2001-09-09 01:46:40 UTC.
constexpr int64_t WHEN = 1000000000;

modem carrier_account() {
  modem m;
  m.name = "carrier";
  m.login = "acct42";
  m.password = "s3cret";
  return m;
}

TEST(WctpRequest, HoldsEveryFieldOfTheSubmission) {
  testsupport::job_parts parts;
  parts.pg.message = "disk full on db1";
  std::string doc = wctp_submit_request(wctp_submit_for(parts.j, carrier_account(), WHEN));
  EXPECT_EQ(doc,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<wctp-Operation wctpVersion=\"wctp-dtd-v1r1\">\n"
            "<wctp-SubmitRequest>\n"
            "<wctp-SubmitHeader submitTimestamp=\"2001-09-09T01:46:40\">\n"
            "<wctp-Originator senderID=\"acct42\" securityCode=\"s3cret\"/>\n"
            "<wctp-MessageControl messageID=\"AbCd001-1\" notifyWhenDelivered=\"false\"/>\n"
            "<wctp-Recipient recipientID=\"1234567\"/>\n"
            "</wctp-SubmitHeader>\n"
            "<wctp-Payload>\n"
            "<wctp-Alphanumeric>alice: disk full on db1</wctp-Alphanumeric>\n"
            "</wctp-Payload>\n"
            "</wctp-SubmitRequest>\n"
            "</wctp-Operation>\n");
}

TEST(WctpRequest, MaskedForLogsAndWithoutACodeWhenNoneIsSet) {
  testsupport::job_parts parts;
  modem m = carrier_account();
  wctp_submit s = wctp_submit_for(parts.j, m, WHEN);
  EXPECT_FALSE(contains(wctp_submit_request(s, true), "s3cret"));
  EXPECT_TRUE(contains(wctp_submit_request(s, true), "securityCode=\"********\""));
  m.password.reset();
  EXPECT_FALSE(contains(wctp_submit_request(wctp_submit_for(parts.j, m, WHEN)), "securityCode"));
}

struct escape_case {
  const char* name;
  std::string text;
  const char* expected;  // the wctp-Alphanumeric element's content
};

class WctpEscaping : public ::testing::TestWithParam<escape_case> {};

TEST_P(WctpEscaping, EveryTextComesOutAsValidXml) {
  testsupport::job_parts parts;
  parts.svc.msgprefix = 0;
  parts.svc.maxmsgsize = 200;
  parts.pg.message = GetParam().text;
  std::string doc = wctp_submit_request(wctp_submit_for(parts.j, carrier_account(), WHEN));
  EXPECT_TRUE(contains(
      doc, "<wctp-Alphanumeric>" + std::string(GetParam().expected) + "</wctp-Alphanumeric>"));
}

INSTANTIATE_TEST_SUITE_P(Texts, WctpEscaping,
                         ::testing::Values(escape_case{"Markup", "a<b>&c", "a&lt;b&gt;&amp;c"},
                                           escape_case{"Quotes", "say \"hi\" 'now'",
                                                       "say &quot;hi&quot; &apos;now&apos;"},
                                           escape_case{"LineEnds", "one\r\ntwo\tthree",
                                                       "one&#13;&#10;two&#9;three"},
                                           escape_case{"ControlAndEightBit",
                                                       std::string("a\x1a"
                                                                   "B\x01z\xc3\xa9",
                                                                   7),
                                                       "a?B?z??"},
                                           escape_case{"Closing", "]]></wctp-Alphanumeric>",
                                                       "]]&gt;&lt;/wctp-Alphanumeric&gt;"}),
                         testsupport::by_name{});

TEST(WctpRequest, IdsAndAccountAreEscapedToo) {
  testsupport::job_parts parts;
  parts.pgr.pagerid = "12\"34";
  modem m = carrier_account();
  m.login = "a&b";
  m.password = "<pw>";
  std::string doc = wctp_submit_request(wctp_submit_for(parts.j, m, WHEN));
  EXPECT_TRUE(contains(doc, "recipientID=\"12&quot;34\""));
  EXPECT_TRUE(contains(doc, "senderID=\"a&amp;b\" securityCode=\"&lt;pw&gt;\""));
}

TEST(WctpRequest, MessageIdNumbersTheRecipientByNameWhateverTheirOrder) {
  testsupport::job_parts parts;
  page pg = testsupport::make_page({"cy", "ann", "bob"}, "hello", WHEN, "ops", "Abcd001");
  parts.j.page = &pg;
  parts.j.rcpt = &pg.rcpts.back();
  EXPECT_EQ("Abcd001-2", wctp_submit_for(parts.j, carrier_account(), WHEN).message_id);
  // A queue run writes the recipients back in the other order.
  pg.rcpts.reverse();
  EXPECT_EQ("Abcd001-2", wctp_submit_for(parts.j, carrier_account(), WHEN).message_id);
  parts.j.rcpt = &pg.rcpts.back();
  EXPECT_EQ("Abcd001-3", wctp_submit_for(parts.j, carrier_account(), WHEN).message_id);
  EXPECT_EQ(std::string(30, 'x') + "-7", wctp_message_id(std::string(40, 'x'), 7));
  EXPECT_EQ(std::string(29, 'x') + "-12", wctp_message_id(std::string(40, 'x'), 12));
}

struct answer_case {
  const char* name;
  std::string body;
  wctp_answer::kind kind;
  int code;
  wctp_verdict verdict;
};

std::string confirmation(const std::string& inner) {
  return "<?xml version=\"1.0\"?><wctp-Operation wctpVersion=\"wctp-dtd-v1r1\">"
         "<wctp-Confirmation>" +
         inner + "</wctp-Confirmation></wctp-Operation>";
}

std::string failure(int code) {
  return confirmation("<wctp-Failure errorCode=\"" + std::to_string(code) +
                      "\" errorText=\"why &amp; how\"/>");
}

class WctpAnswer : public ::testing::TestWithParam<answer_case> {};

TEST_P(WctpAnswer, EachAnswerHasItsVerdict) {
  const answer_case& c = GetParam();
  wctp_answer a = parse_wctp_answer(c.body);
  EXPECT_EQ(c.kind, a.what) << a.text;
  EXPECT_EQ(c.code, a.code);
  EXPECT_EQ(c.verdict, judge_wctp_answer(a));
  if (a.what == wctp_answer::failure) {
    EXPECT_EQ("why & how", a.text);
  }
}

using A = wctp_answer;
using V = wctp_verdict;
INSTANTIATE_TEST_SUITE_P(
    Answers, WctpAnswer,
    ::testing::Values(
        answer_case{"Accepted",
                    confirmation("<wctp-Success successCode=\"200\" successText=\"ok\"/>"),
                    A::success, 200, V::delivered},
        answer_case{"SuccessWithAFailureCode",
                    confirmation("<wctp-Success successCode=\"500\" successText=\"?\"/>"),
                    A::success, 500, V::retry},
        answer_case{"BadRecipient", failure(403), A::failure, 403, V::refused},
        answer_case{"BadSender", failure(401), A::failure, 401, V::setup_error},
        answer_case{"BadAuthorization", failure(404), A::failure, 404, V::setup_error},
        answer_case{"VersionNotSupported", failure(303), A::failure, 303, V::setup_error},
        answer_case{"NotNow", failure(304), A::failure, 304, V::retry},
        answer_case{"ServerTrouble", failure(503), A::failure, 503, V::retry},
        answer_case{"BadDate", failure(405), A::failure, 405, V::retry},
        answer_case{"NotXml", "<html>oops", A::unusable, 0, V::retry},
        answer_case{"Empty", "", A::unusable, 0, V::retry},
        answer_case{"OtherDocument", "<html><wctp-Confirmation/></html>", A::unusable, 0, V::retry},
        answer_case{"NoConfirmation",
                    "<wctp-Operation><wctp-Success successCode=\"200\"/>"
                    "</wctp-Operation>",
                    A::unusable, 0, V::retry},
        answer_case{"EmptyConfirmation", confirmation(""), A::unusable, 0, V::retry},
        answer_case{"TwoResults",
                    confirmation("<wctp-Success successCode=\"200\"/><wctp-Failure "
                                 "errorCode=\"403\"/>"),
                    A::unusable, 0, V::retry},
        answer_case{"CodeNotANumber", confirmation("<wctp-Success successCode=\"2OO\"/>"),
                    A::unusable, 0, V::retry},
        answer_case{"NoCode", confirmation("<wctp-Failure errorText=\"x\"/>"), A::unusable, 0,
                    V::retry},
        answer_case{"EntityDeclarations",
                    "<!DOCTYPE wctp-Operation [<!ENTITY a \"aaaa\">]>" + failure(403), A::unusable,
                    0, V::retry}),
    testsupport::by_name{});

}  // namespace
