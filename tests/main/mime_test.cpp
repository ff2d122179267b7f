// MIME mail input: transfer encodings, encoded words, multipart bodies, and
// the mails of monitoring systems from the command line to the SNPP server.
#include "main/mime.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/settings.h"
#include "main/mail.h"
#include "read_mail_text.h"
#include "support/sandbox.h"
#include "support/support.h"

using namespace callvane;
using mailtest::read_mail_text;
using testsupport::capture_fd;
using testsupport::contains;
using testsupport::temp_dir;

namespace {

// The same mail with CR LF line ends.
std::string crlf(const std::string& mail) {
  std::string out;
  for (char c : mail) {
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

struct mail_case {
  const char* name;
  std::string mail;
  std::optional<std::string> message;
  std::string from;
};

// Mails without MIME decoding to do: what they always gave.
const mail_case PLAIN_MAILS[] = {
    {"plain",
     "From alice Tue Dec  8 10:00:00 2026\nFrom: Alice <alice@example.org>\nSubject: lunch\n\n"
     "Meet at noon.\n",
     "Alice <alice@example.org>\n(Subj: lunch)\nMeet at noon.\n", "alice@example.org"},
    {"text/plain 7bit",
     "From x\nFrom: a@b\nSubject: s\nMIME-Version: 1.0\nContent-Type: text/plain; "
     "charset=us-ascii\n"
     "Content-Transfer-Encoding: 7bit\n\none\ntwo =41 stays\n-- \nsig\n",
     "a@b\n(Subj: s)\none\ntwo =41 stays\n", "a@b"},
    {"encoded words without MIME-Version stay", "From x\nSubject: =?UTF-8?Q?caf=C3=A9?=\n\nbody\n",
     "(Subj: =?UTF-8?Q?caf=C3=A9?=)\nbody\n", "anonymous"},
    {"folded subject without encoded words", "From x\nMIME-Version: 1.0\nSubject: a\n b\n\nt\n",
     "(Subj: a\n b)\nt\n", "anonymous"},
    {"multipart/alternative without MIME-Version is plain",
     "From x\nContent-Type: multipart/alternative; boundary=b\n\npreamble\n--b\n\ntext\n",
     "preamble\n", "anonymous"},
    {"multipart/mixed with a 7bit text part",
     "From x\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"XYZ\"\n\npre\n--XYZ\n"
     "Content-Type: image/png\n\niVBOR\n--XYZ\nContent-Type: text/plain\n\nfirst\nsecond\n"
     "--XYZ--\n",
     "\nfirst\nsecond\n", "anonymous"},
    {"base64 named but not MIME", "From x\nContent-Transfer-Encoding: base64\n\naGk=\n", "aGk=\n",
     "anonymous"},
};

class PlainMail : public ::testing::TestWithParam<mail_case> {};

TEST_P(PlainMail, SameResultWithEitherLineEnd) {
  const mail_case& c = GetParam();
  auto r = read_mail_text(c.mail);
  EXPECT_EQ(r.p.message, c.message);
  EXPECT_EQ(r.p.from, c.from);
  auto crlf_result = read_mail_text(crlf(c.mail));
  EXPECT_EQ(crlf_result.p.message, c.message);
  EXPECT_EQ(crlf_result.p.from, c.from);
}

INSTANTIATE_TEST_SUITE_P(Mails, PlainMail, ::testing::ValuesIn(PLAIN_MAILS), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; p++)
    n.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
  return n;
});

const char NAGIOS[] =
    "From nagios@mon.example.com Mon Dec  7 03:12:44 2026\n"
    "From: Nagios <nagios@mon.example.com>\n"
    "To: oncall@example.com\n"
    "Subject: ** PROBLEM Service Alert: db1/Disk /var is CRITICAL **\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative;\n"
    "\tboundary=\"=_alt_4f2a\"\n"
    "\n"
    "This is a multi-part message in MIME format.\n"
    "\n"
    "--=_alt_4f2a\n"
    "Content-Type: text/plain; charset=UTF-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Host: db1 =E2=80=93 Disk /var at 97% =3D full\n"
    "State: CRITICAL, a long line that is soft=\n"
    " broken\n"
    "--=_alt_4f2a\n"
    "Content-Type: text/html; charset=UTF-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "<html><body><p>Host: db1</p></body></html>\n"
    "--=_alt_4f2a--\n";

const char NAGIOS_TEXT[] =
    "Nagios <nagios@mon.example.com>\n"
    "(Subj: ** PROBLEM Service Alert: db1/Disk /var is CRITICAL **)\n"
    "\n"
    "Host: db1 \xE2\x80\x93 Disk /var at 97% = full\n"
    "State: CRITICAL, a long line that is soft broken\n";

const char ZABBIX[] =
    "From zabbix@example.com Mon Dec  7 03:12:44 2026\n"
    "From: Zabbix <zabbix@example.com>\n"
    "Subject: =?UTF-8?B?UHJvYmxlbTogSGlnaCBDUFUgb24g?=\n"
    " =?UTF-8?B?d2ViMDE=?=\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=\"UTF-8\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "UHJvYmxlbSBzdGFydGVkIGF0IDAzOjEyOjQ0IG9uIDIwMjYuMTIuMDcNClBy\n"
    "b2JsZW0gbmFtZTogSGlnaCBDUFUgb24gd2ViMDENCkhvc3Q6IHdlYjAxDQpT\n"
    "ZXZlcml0eTogSGlnaA0KT3BlcmF0aW9uYWwgZGF0YTogOTcgJQ0K\n";

const char ZABBIX_TEXT[] =
    "Zabbix <zabbix@example.com>\n"
    "(Subj: Problem: High CPU on web01)\n"
    "Problem started at 03:12:44 on 2026.12.07\n"
    "Problem name: High CPU on web01\n"
    "Host: web01\n"
    "Severity: High\n"
    "Operational data: 97 %\n";

const char GRAFANA[] =
    "From grafana@example.com Mon Dec  7 03:12:44 2026\n"
    "From: =?utf-8?q?Grafana?= <grafana@example.com>\n"
    "Subject: =?utf-8?q?=5BFIRING=3A1=5D_HighLatency_?= =?utf-8?q?api?= (prod)\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=outer42\n"
    "\n"
    "--outer42\n"
    "Content-Type: multipart/alternative; boundary=\"inner 7\"\n"
    "\n"
    "--inner 7\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>html first</p>\n"
    "--inner 7\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "[FIRING:1] HighLatency api\n"
    "Value: p99=3D2.4s\n"
    "--inner 7--\n"
    "--outer42\n"
    "Content-Type: image/png\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "iVBORw0KGgo=\n"
    "--outer42--\n";

const char GRAFANA_TEXT[] =
    "Grafana <grafana@example.com>\n"
    "(Subj: [FIRING:1] HighLatency api (prod))\n"
    "\n"
    "[FIRING:1] HighLatency api\n"
    "Value: p99=2.4s\n";

const char ALERTMANAGER[] =
    "From alertmanager@example.com Mon Dec  7 03:12:44 2026\n"
    "From: alertmanager@example.com\n"
    "Subject: [FIRING:2] InstanceDown\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative; boundary=b0\n"
    "\n"
    "--b0\n"
    "Content-Type: text/html; charset=UTF-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "<!DOCTYPE html>\n"
    "<html><head><title>x</title><style>td { color: red; }</style></head>\n"
    "<body><!-- a comment --><table><tr><td>Instance</td><td>node3:9100</td></tr>\n"
    "<tr><td class=3D\"a>b\">Summary</td><td>down &amp; out &lt;5m&gt;</td></tr></table>\n"
    "<script>var x =3D 1;</script><a href=3D\"http://x\">View</a></body></html>\n"
    "--b0--\n";

const char ALERTMANAGER_TEXT[] =
    "alertmanager@example.com\n"
    "(Subj: [FIRING:2] InstanceDown)\n"
    "\n"
    "Instance  node3:9100\n"
    "Summary  down & out <5m>\n"
    "View\n";

// Mails of the kinds monitoring systems send, and broken ones.
const mail_case MIME_MAILS[] = {
    {"Nagios alternative with quoted-printable", NAGIOS, NAGIOS_TEXT, "nagios@mon.example.com"},
    {"Zabbix base64 with a split encoded subject", ZABBIX, ZABBIX_TEXT, "zabbix@example.com"},
    {"Grafana nested mixed and alternative", GRAFANA, GRAFANA_TEXT, "grafana@example.com"},
    {"Alertmanager HTML only", ALERTMANAGER, ALERTMANAGER_TEXT, "alertmanager@example.com"},
    {"HTML single part",
     "From x\nMIME-Version: 1.0\nContent-Type: text/html\n\n<div>Disk &#233; full</div><br>"
     "second &#x41;&bogus;\n",
     "Disk \xC3\xA9 full\nsecond A&bogus;\n", "anonymous"},
    {"missing closing boundary",
     "From x\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=zz\n\n--zz\n"
     "Content-Type: image/gif\n\nGIF\n--zz\nContent-Transfer-Encoding: quoted-printable\n\n"
     "last=20part\n",
     "\nlast part\n", "anonymous"},
    {"bad base64 is decoded as far as it goes",
     "From x\nMIME-Version: 1.0\nContent-Type: text/plain\nContent-Transfer-Encoding: BASE64\n\n"
     "SGVsbG8g!!!d29y\n\x01\xff"
     "bGQ=Z2FyYmFnZQ==\n",
     "Hello world\n", "anonymous"},
    {"base64 of nothing but garbage gives no text",
     "From x\nSubject: s\nMIME-Version: 1.0\nContent-Transfer-Encoding: base64\n\n!!!\n",
     "(Subj: s)\n", "anonymous"},
    {"encoded word in ISO-8859-1 goes to seven bits",
     "From x\nMIME-Version: 1.0\nSubject: =?ISO-8859-1?Q?Caf=E9_down?= =?utf-8?b?WsO8cmljaA==?=\n"
     "\nbody\n",
     "(Subj: Cafi downZC<rich)\nbody\n", "anonymous"},
    {"encoded word with a line end inside stays on one line",
     "From x\nMIME-Version: 1.0\nSubject: a =?us-ascii?Q?b=0D=0Ac?= d\n\nbody\n",
     "(Subj: a b  c d)\nbody\n", "anonymous"},
    {"malformed encoded words stay as they are",
     "From x\nMIME-Version: 1.0\nSubject: =?x?Z?y?= =?x?Q?y =?broken\n\nbody\n",
     "(Subj: =?x?Z?y?= =?x?Q?y =?broken)\nbody\n", "anonymous"},
    {"unquoted boundary with blanks after a delimiter",
     "From x\nMIME-Version: 1.0\nContent-Type: multipart/related; type=x; boundary=r1\n\n"
     "--r1  \nContent-Type: text/plain\n\nok\n--r1--\n",
     "\nok\n", "anonymous"},
    {"signature ends a decoded text",
     "From x\nMIME-Version: 1.0\nContent-Type: text/plain\n"
     "Content-Transfer-Encoding: quoted-printable\n\nalert=\n!\n-- \nops team\n",
     "alert!\n", "anonymous"},
    {"empty text part gives way to HTML",
     "From x\nMIME-Version: 1.0\nContent-Type: multipart/alternative; boundary=e\n\n--e\n"
     "Content-Type: text/plain\n\n\n--e\nContent-Type: text/html\n\n<b>bold</b> news\n--e--\n",
     "\nbold news\n", "anonymous"},
    {"only an attachment gives sender and subject",
     "From x\nFrom: a@b\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=q\n\n--q\n"
     "Content-Type: application/pdf\n\n%PDF\n--q--\n",
     "a@b\n", "a@b"},
    {"a zero byte in decoded text is dropped",
     "From x\nMIME-Version: 1.0\nContent-Transfer-Encoding: quoted-printable\n\na=00b\n", "ab\n",
     "anonymous"},
};

class MimeMail : public ::testing::TestWithParam<mail_case> {};

TEST_P(MimeMail, TheAlertIsTheMessage) {
  const mail_case& c = GetParam();
  auto r = read_mail_text(c.mail);
  EXPECT_EQ(r.p.message, c.message);
  EXPECT_EQ(r.p.from, c.from);
  EXPECT_EQ(r.left, "");
  auto crlf_result = read_mail_text(crlf(c.mail));
  EXPECT_EQ(crlf_result.p.message, c.message) << "with CR LF line ends";
}

INSTANTIATE_TEST_SUITE_P(Mails, MimeMail, ::testing::ValuesIn(MIME_MAILS), [](const auto& info) {
  std::string n;
  for (const char* p = info.param.name; *p; p++)
    n.push_back(isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
  return n;
});

// A multipart nested `levels` deep around one text part.
std::string nested(int levels) {
  std::string mail = "From x\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b0\n\n";
  for (int i = 1; i < levels; i++)
    mail += "--b" + std::to_string(i - 1) + "\nContent-Type: multipart/mixed; boundary=b" +
            std::to_string(i) + "\n\n";
  mail += "--b" + std::to_string(levels - 1) + "\nContent-Type: text/plain\n\ndeep\n";
  return mail;
}

TEST(MimeMailBounds, NestingIsFollowedOnlySoDeep) {
  EXPECT_EQ(read_mail_text(nested(8)).p.message, "\ndeep\n");
  EXPECT_EQ(read_mail_text(nested(9)).p.message, std::nullopt);
  EXPECT_EQ(read_mail_text(nested(500)).p.message, std::nullopt);
}

TEST(MimeMailBounds, AHugeBodyIsReadToItsEnd) {
  std::string mail =
      "From x\nMIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=h\n\n--h\n"
      "Content-Type: text/plain\n\nhead\n";
  mail += std::string(6 * 1024 * 1024, 'a') + "\n--h--\n";
  auto r = read_mail_text(mail);
  ASSERT_TRUE(r.p.message);
  EXPECT_EQ(r.p.message->substr(0, 6), "\nhead\n");
  EXPECT_LT(r.p.message->size(), 5u * 1024 * 1024);
  EXPECT_EQ(r.left, "");
}

TEST(MimeMailDebug, PartsAreTraced) {
  auto r = read_mail_text(GRAFANA, false, 2);
  EXPECT_TRUE(contains(r.out, "Found boundary: <--outer42>\n"));
  EXPECT_TRUE(contains(r.out, "Found boundary: <--inner 7>\n"));
  EXPECT_TRUE(contains(r.out, "Mimeheader: <Content-Transfer-Encoding: quoted-printable>\n"));
  EXPECT_TRUE(contains(r.out, "Mimetext: <Value: p99=2.4s>\n"));
  EXPECT_TRUE(contains(r.out, "Message subject is: <[FIRING:1] HighLatency api (prod)>\n"));
}

struct decode_case {
  std::string in, out;
};

TEST(QuotedPrintable, Decodes) {
  const decode_case cases[] = {
      {"a=3Db", "a=b"},
      {"soft=\nbreak\n", "softbreak\n"},
      {"trailing blanks   \nx", "trailing blanks\nx"},
      {"crlf=\r\nend\r\n", "crlfend\n"},
      {"=e9=C3=a9", "\xe9\xc3\xa9"},
      {"bad =G1 and =4", "bad =G1 and =4"},
      {"=", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_quoted_printable(c.in), c.out) << c.in;
}

TEST(Base64, Decodes) {
  const decode_case cases[] = {
      {"aGVsbG8=", "hello"},
      {"aGVs\r\nbG8=", "hello"},
      {"aGVsbA", "hell"},
      {"a", ""},
      {"", ""},
      {"====", ""},
      {"AA==", std::string(1, '\0')},
      {"/+/+", "\xff\xef\xfe"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_base64(c.in), c.out) << c.in;
}

TEST(EncodedWords, Decode) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"plain text", std::nullopt},
      {"=?utf-8?Q?a_b?=", "a b"},
      {"=?utf-8?Q?a?= \n\t =?utf-8?Q?b?=", "ab"},
      {"x =?utf-8?Q?a?= y", "x a y"},
      {"=?UTF-8?B?aGk=?=!", "hi!"},
      {"=?utf-8*en?q?=41?=", "A"},
      {"=??Q?a?=", std::nullopt},
      {"=?x?Q?a b?=", std::nullopt},
      {"=?x?Q?=80=00=07?=", "\x07"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(decode_encoded_words(in), out) << in;
}

TEST(ContentType, TypeAndBoundary) {
  auto ct = parse_content_type(" Multipart/Alternative; charset=x;\n\tBoundary=\"a \\\"b\\\" c\"");
  EXPECT_EQ(ct.type, "multipart/alternative");
  EXPECT_EQ(ct.boundary, "a \"b\" c");
  ct = parse_content_type("text/plain");
  EXPECT_EQ(ct.type, "text/plain");
  EXPECT_EQ(ct.boundary, std::nullopt);
  EXPECT_EQ(parse_content_type("multipart/mixed boundary=q;x").boundary, "q");
  EXPECT_EQ(parse_content_type("multipart/mixed; name; boundary=z").boundary, "z");
  EXPECT_EQ(parse_content_type("").type, "");
}

// From outside: a monitoring mail piped into the client reaches the SNPP
// server as the alert, not as the MIME preamble.
TEST(MimeMailClient, TheServerReceivesTheAlert) {
  std::string why;
  if (!sandbox::enter(why)) GTEST_SKIP() << "no private namespace: " << why;
  const std::pair<const char*, const char*> mails[] = {
      {NAGIOS, "Host: db1 \xE2\x80\x93 Disk /var at 97% = full State: CRITICAL"},
      {ZABBIX, "(Subj: Problem: High CPU on web01) Problem started at 03:12:44"},
  };
  for (const auto& [mail, alert] : mails) {
    sandbox::peer server = sandbox::peer::scripted("");
    testsupport::run_options opts;
    opts.input = mail;
    opts.env.emplace("SNPP_SERVER", std::nullopt);
    opts.env.emplace("SNPP_LOGIN", std::nullopt);
    auto r = testsupport::run_callvane({"-m", "-s", "localhost", "oncall"}, opts);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::string wire = server.finish();
    EXPECT_TRUE(contains(wire, alert));
    EXPECT_FALSE(contains(wire, "multi-part"));
    EXPECT_FALSE(contains(wire, "=E2"));
    EXPECT_TRUE(contains(wire, "\r\n.\r\nSEND\r\nQUIT\r\n"));
  }
}

}  // namespace
