// E-mail input: header lines, addresses, plain and multipart bodies.
#include "main/mail.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/settings.h"
#include "read_mail_text.h"
#include "support/support.h"

using namespace callvane;
using mailtest::read_mail_text;
using testsupport::capture_fd;
using testsupport::contains;
using testsupport::temp_dir;

namespace {

std::vector<std::optional<std::string>> headers_of(const std::string& text, bool fold) {
  temp_dir dir;
  int fd = open(dir.write("h", text).c_str(), O_RDONLY);
  in_stream in(fd, true);
  std::vector<std::optional<std::string>> out;
  for (;;) {
    auto h = read_header(in, fold);
    out.push_back(h);
    if (!h) break;
  }
  return out;
}

using H = std::vector<std::optional<std::string>>;

const char PLAIN[] =
    "From alice Tue Dec  8 10:00:00 2026\n"
    "Received: by host\n"
    "From: Alice Example <alice@example.org>\n"
    "Subject: lunch\n"
    "\n"
    "Meet at noon.\n";

}  // namespace

TEST(ReadHeader, LinesContinuationsAndEnd) {
  EXPECT_EQ(headers_of("A: 1\nB: 2\n\nbody\n", false),
            (H{"A: 1", "B: 2", "", "body", std::nullopt}));
  // continuation lines stay as they are without folding
  EXPECT_EQ(headers_of("A: 1\n 2\n\t3\nB: x", false), (H{"A: 1\n 2\n\t3", "B: x", std::nullopt}));
  EXPECT_EQ(headers_of("A: 1\n  \t2\nB: x\n", true), (H{"A: 1 2", "B: x", std::nullopt}));
  // an empty line is never taken for the start of a continuation
  EXPECT_EQ(headers_of("\n body\n", false), (H{"", " body", std::nullopt}));
  EXPECT_EQ(headers_of("", false), (H{std::nullopt}));
  std::string long_line(5000, 'h');
  EXPECT_EQ(headers_of(long_line + "\n", false), (H{long_line, std::nullopt}));
}

TEST(ParseAddress, BareAddressFromEveryForm) {
  EXPECT_EQ(parse_address("\"Alice Example\" <alice@example.org>"), "alice@example.org");
  EXPECT_EQ(parse_address("alice@example.org (Alice Example)"), "alice@example.org");
  EXPECT_EQ(parse_address("   <alice@example.org>   "), "alice@example.org");
  EXPECT_EQ(parse_address("alice@example.org"), "alice@example.org");
  // quotes are kept, and a "<" or "(" inside them is ordinary
  EXPECT_EQ(parse_address("\"a<b(c\"@x"), "\"a<b(c\"@x");
  EXPECT_EQ(parse_address("a\\<b@x"), "a<b@x");
  EXPECT_EQ(parse_address("a>b"), "a>b");
  EXPECT_EQ(parse_address("a (comment) b"), "a   b");
}

TEST(ParseAddress, MalformedFieldsDoNotBreakIt) {
  EXPECT_EQ(parse_address(""), "");
  EXPECT_EQ(parse_address("x\\"), "x");
  EXPECT_EQ(parse_address("x (never closed"), "x");
  EXPECT_EQ(parse_address("\"never closed <a@b>"), "\"never closed <a@b>");
  EXPECT_EQ(parse_address("<a@b"), "a@b");
  EXPECT_EQ(parse_address("<<<"), "");
  EXPECT_EQ(parse_address(std::string("\xff\x01<\x80>", 5)), "\x80");
}

TEST(ReadMail, PlainMailWithSenderAndSubject) {
  auto r = read_mail_text(PLAIN);
  EXPECT_EQ(r.p.message, "Alice Example <alice@example.org>\n(Subj: lunch)\nMeet at noon.\n");
  EXPECT_EQ(r.p.from, "alice@example.org");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
}

TEST(ReadMail, ReplyToWinsForTheSender) {
  std::string mail = PLAIN;
  mail.insert(mail.find("Subject:"), "Reply-To: Desk <desk@example.org>\n");
  auto r = read_mail_text(mail);
  EXPECT_EQ(r.p.from, "desk@example.org");
  EXPECT_EQ(r.p.message->substr(0, r.p.message->find('\n')), "Alice Example <alice@example.org>");
  // a Reply-To before the From wins as well
  mail = PLAIN;
  mail.insert(mail.find("From: "), "reply-to: first@example.org\n");
  EXPECT_EQ(read_mail_text(mail).p.from, "first@example.org");
}

TEST(ReadMail, FirstFromWithAValueCounts) {
  auto r = read_mail_text(
      "From x\nFrom:   \nFrom: second@example.org\nFROM: third@example.org\n\nbody\n");
  // the empty From set an empty reply address, so no sender address is known
  EXPECT_EQ(r.p.from, "");
  EXPECT_EQ(r.p.message, "second@example.org\nbody\n");
}

TEST(ReadMail, SenderGivenOnTheCommandLineIsKept) {
  auto r = read_mail_text(PLAIN, true);
  EXPECT_EQ(r.p.from, std::nullopt);
  EXPECT_EQ(r.p.message, "Alice Example <alice@example.org>\n(Subj: lunch)\nMeet at noon.\n");
}

TEST(ReadMail, NoSenderGivesAnonymous) {
  auto r = read_mail_text("From x\nSubject: s\nSubject:\n\nline\n");
  EXPECT_EQ(r.p.from, "anonymous");
  EXPECT_EQ(r.p.message, "(Subj: s)\nline\n");
}

TEST(ReadMail, SignatureSeparatorEndsThePlainBody) {
  auto r = read_mail_text("From x\nFrom: a@b\n\none\ntwo\n-- \nsig\n");
  EXPECT_EQ(r.p.message, "a@b\none\ntwo\n");
  EXPECT_EQ(r.left, "");  // the rest of the input is consumed
}

TEST(ReadMail, MissingFromLine) {
  auto r = read_mail_text("From: a@b\n\nbody\n");
  EXPECT_EQ(r.err, "Message does not start with From_\n");
  EXPECT_EQ(r.p.message, std::nullopt);
  EXPECT_EQ(r.p.from, std::nullopt);
  // "From " is case-sensitive
  EXPECT_EQ(read_mail_text("from x\n\nbody\n").err, "Message does not start with From_\n");
  // nothing at all, or an empty first line: nothing is set and nothing said
  EXPECT_EQ(read_mail_text("").err, "");
  auto empty = read_mail_text("\nFrom x\n");
  EXPECT_EQ(empty.err, "");
  EXPECT_EQ(empty.p.message, std::nullopt);
}

TEST(ReadMail, NoBodyAndNoHeaders) {
  auto r = read_mail_text("From x\n");
  EXPECT_EQ(r.p.message, std::nullopt);
  EXPECT_EQ(r.p.from, "anonymous");
  r = read_mail_text("From x\n\n\n");
  EXPECT_EQ(r.p.message, "\n");
}

const char MIME[] =
    "From bob Tue Dec  8 10:00:00 2026\n"
    "From: bob@example.org\n"
    "Subject: pictures\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"XYZ\"\n"
    "\n"
    "This is a multi-part message.\n"
    "--XYZ\n"
    "Content-Type: image/png\n"
    "\n"
    "iVBORw0KGgo\n"
    "--XYZ\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "Content-Transfer-Encoding: 7bit\n"
    "\n"
    "first line\n"
    "second line\n"
    "--XYZ--\n"
    "epilogue\n";

TEST(ReadMail, MultipartTakesTheFirstTextPart) {
  auto r = read_mail_text(MIME);
  EXPECT_EQ(r.p.message, "bob@example.org\n(Subj: pictures)\n\nfirst line\nsecond line\n");
  EXPECT_EQ(r.p.from, "bob@example.org");
  EXPECT_EQ(r.left, "");
}

TEST(ReadMail, MultipartEndsAtTheNextBoundaryAfterText) {
  std::string mail = MIME;
  mail.replace(mail.find("--XYZ--"), 7, "--XYZ\nContent-Type: text/plain\n\nthird part");
  auto r = read_mail_text(mail);
  EXPECT_EQ(r.p.message, "bob@example.org\n(Subj: pictures)\n\nfirst line\nsecond line\n");
}

TEST(ReadMail, PartWithoutContentTypeIsText) {
  auto r = read_mail_text(
      "From x\nMime-Version: 1.0\ncontent-type: Multipart/Mixed;\n\tBOUNDARY=b1\n\npre\n--b1\n"
      "X-Other: 1\n\nhello\n--b1--\n");
  EXPECT_EQ(r.p.message, "\nhello\n");
}

TEST(ReadMail, MultipartWithoutMimeVersionIsPlain) {
  std::string mail = MIME;
  mail.erase(mail.find("MIME-Version: 1.0\n"), 18);
  auto r = read_mail_text(mail);
  EXPECT_EQ(r.p.message, "bob@example.org\n(Subj: pictures)\nThis is a multi-part message.\n");
}

TEST(ReadMail, ContentTypeComplaints) {
  auto r = read_mail_text("From x\nMIME-Version: 1.0\nContent-Type: multipart/mixed\n\n--a\n");
  EXPECT_EQ(r.err, "Content-Type is multipart/mixed but no boundary is specified\n");
  r = read_mail_text("From x\nContent-Type: x-sun-attachment\n\nbody\n");
  EXPECT_EQ(r.err, "X-sun-attachments are NOT supported--use MIME instead.\n");
  EXPECT_EQ(r.p.message, "body\n");
  r = read_mail_text("From x\nContent-Type: text/html\n\nbody\n", false, 2);
  EXPECT_TRUE(contains(r.out, "Unknown content type: <text/html>\n"));
  // a boundary without quotes runs to the first blank, tab or ";"
  r = read_mail_text(
      "From x\nMIME-Version: 1\nContent-Type: multipart/mixed; boundary=b2;x\n\n--b2\n\nt\n--b2\n");
  EXPECT_EQ(r.p.message, "\nt\n");
  // an unterminated quoted boundary runs to the end of the header
  r = read_mail_text(
      "From x\nMIME-Version: 1\nContent-Type: multipart/mixed; boundary=\"q r\n\n--q r\n\nt\n");
  EXPECT_EQ(r.p.message, "\nt\n");
}

TEST(ReadMail, DebugLines) {
  std::string mail = PLAIN;
  mail.insert(mail.find("Subject:"), "Reply-To: desk@example.org\n");
  auto r = read_mail_text(mail, false, 2);
  EXPECT_EQ(r.out,
            "Message sender is: <Alice Example <alice@example.org>>\n"
            "Reply address is: <desk@example.org>\n"
            "Message subject is: <lunch>\n"
            "Text: <Meet at noon.>\n"
            "Message is: <Alice Example <alice@example.org>\n(Subj: lunch)\nMeet at noon.\n>\n");
  r = read_mail_text(MIME, false, 2);
  EXPECT_TRUE(contains(r.out, "Found boundary: <--XYZ>\n"));
  EXPECT_TRUE(contains(r.out, "Skipping type=< image/png>\n"));
  EXPECT_TRUE(contains(r.out, "Mimeheader: <Content-Transfer-Encoding: 7bit>\n"));
  EXPECT_TRUE(contains(r.out, "Mimetext: <first line>\n"));
  // level 1 shows only the message
  r = read_mail_text(PLAIN, false, 1);
  EXPECT_EQ(r.out,
            "Message is: <Alice Example <alice@example.org>\n(Subj: lunch)\nMeet at noon.\n>\n");
}

TEST(ReadMail, OddInputNeverBreaksTheReader) {
  std::string binary = "From x\nFrom: \x01\xff<\x80@\x7f>\n\n";
  for (int i = 0; i < 256; i++) binary.push_back(static_cast<char>(i));
  auto r = read_mail_text(binary);
  EXPECT_EQ(r.p.from, "\x80@\x7f");
  ASSERT_TRUE(r.p.message);
  EXPECT_EQ(r.p.message->size(), std::string("\x01\xff<\x80@\x7f>\n").size() + 257);

  // a body line longer than the reader's line is read as several lines
  std::string long_line(25000, 'z');
  r = read_mail_text("From x\n\n" + long_line + "\nend\n");
  ASSERT_TRUE(r.p.message);
  EXPECT_EQ(r.p.message->size(), 25000u + 3 + 4);
  EXPECT_EQ(r.p.message->substr(10239, 1), "\n");

  // no line end anywhere, headers without a colon, an endless header
  r = read_mail_text("From x");
  EXPECT_EQ(r.p.message, std::nullopt);
  r = read_mail_text("From x\nno colon here\n" + std::string(30000, 'H'));
  EXPECT_EQ(r.p.message, std::nullopt);
}

// From outside: what the mail gives reaches the client, and a mail without
// a message is refused. The empty server name makes the submission fail
// at once, which shows a message was found.
TEST(ReadMail, FromTheCommandLine) {
  testsupport::run_options opts;
  opts.input = PLAIN;
  auto r = testsupport::run_callvane({"-m", "-s", "", "pager"}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Unknown host: \n");
  opts.input = "From x\nX-Header: 1\n\n";
  r = testsupport::run_callvane({"-m", "-s", "", "pager"}, opts);
  EXPECT_EQ(r.err, "No message!\n");
  opts.input = "garbage\n";
  r = testsupport::run_callvane({"-m", "-s", "", "pager"}, opts);
  EXPECT_EQ(r.err, "Message does not start with From_\nNo message!\n");
  EXPECT_EQ(r.status, 255);
}
