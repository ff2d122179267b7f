#include "common/page.h"

#include <gtest/gtest.h>

#include <string>

namespace callvane {
namespace {

// Every field of `p` as a new page has it.
void expect_empty(const page& p) {
  EXPECT_EQ(nullptr, p.input);
  EXPECT_TRUE(p.rcpts.empty());
  EXPECT_EQ(0, p.created);
  EXPECT_EQ(0u, p.flags);
  for (const auto* text :
       {&p.filename, &p.message, &p.messageid, &p.login, &p.ident, &p.from, &p.hostname})
    EXPECT_FALSE(text->has_value());
}

TEST(PageFlags, ValuesInQueueFileOrder) {
  const uint32_t flags[] = {F_SENT,     F_FAILED,   F_BUSY,     F_NOCARRIER, F_NOMODEM,
                            F_FORCED,   F_NOPROMPT, F_UNKNOWN,  F_REJECT,    F_RAWPID,
                            F_SENDMAIL, F_SENTMAIL, F_SENTADMIN};
  uint32_t expected = 1;
  for (uint32_t f : flags) {
    EXPECT_EQ(expected, f);
    expected <<= 1;
  }
  EXPECT_EQ(0x1000u, F_SENTADMIN);
  EXPECT_EQ(0x2000u, F_BADPAGE);
  EXPECT_EQ(0x01FFu, F_OUTCOME_MASK);
  EXPECT_EQ(F_SENT | F_FAILED | F_BUSY | F_NOCARRIER | F_NOMODEM | F_FORCED | F_NOPROMPT |
                F_UNKNOWN | F_REJECT,
            F_OUTCOME_MASK);
}

TEST(PageFlags, NewAttemptKeepsWhatDescribesTheRecipient) {
  rcpt r;
  r.flags = F_BUSY | F_RAWPID | F_SENDMAIL;
  r.flags &= ~F_OUTCOME_MASK;
  EXPECT_EQ(F_RAWPID | F_SENDMAIL, r.flags);
  r.flags = 0xFFFF;
  r.flags &= ~F_OUTCOME_MASK;
  EXPECT_EQ(0xFE00u, r.flags);
}

TEST(PageFlags, FinishedWhenSentOrFailed) {
  rcpt r;
  EXPECT_FALSE(r.finished());
  r.flags = F_BUSY | F_NOCARRIER | F_SENDMAIL | F_SENTMAIL | F_SENTADMIN;
  EXPECT_FALSE(r.finished());
  r.flags = F_SENT;
  EXPECT_TRUE(r.finished());
  r.flags = F_FAILED | F_SENTADMIN;
  EXPECT_TRUE(r.finished());
}

TEST(PageRecord, NewRecordsAreEmpty) {
  rcpt r;
  EXPECT_EQ("", r.pager);
  EXPECT_FALSE(r.coverage.has_value());
  EXPECT_EQ(0, r.holduntil);
  EXPECT_EQ(0, r.lasttry);
  EXPECT_EQ(0, r.goodtries);
  EXPECT_EQ(0, r.tries);
  EXPECT_EQ(1, r.servicelevel);
  EXPECT_EQ(0u, r.flags);
  page p;
  expect_empty(p);
}

// A page as a session leaves it after SEND, with three recipients.
page full_page(in_stream* input) {
  page p;
  p.input = input;
  p.filename = "P1765244400.001";
  for (const char* name : {"alpha", "beta", "5551234"}) {
    rcpt r;
    r.pager = name;
    r.coverage = "metro";
    r.holduntil = 1765244400;
    r.lasttry = 1765244000;
    r.goodtries = 2;
    r.tries = 3;
    r.servicelevel = 0;
    r.flags = F_BUSY | F_SENDMAIL;
    p.rcpts.push_front(r);
  }
  p.created = 1765240000;
  p.message = "call the office";
  p.messageid = "LHBx042";
  p.login = "operator";
  p.ident = "jdoe";
  p.from = "Jane";
  p.hostname = "client.example.org";
  p.flags = F_BADPAGE;
  return p;
}

TEST(FreePage, ResetKeepsTheConnectionFields) {
  in_stream* input = reinterpret_cast<in_stream*>(0x1000);
  page p = full_page(input);
  free_page(p, true);
  EXPECT_TRUE(p.rcpts.empty());
  EXPECT_FALSE(p.filename.has_value());
  EXPECT_FALSE(p.message.has_value());
  EXPECT_FALSE(p.login.has_value());
  EXPECT_FALSE(p.from.has_value());
  EXPECT_EQ(0, p.created);
  EXPECT_EQ(0u, p.flags);
  EXPECT_EQ(input, p.input);
  EXPECT_EQ("LHBx042", p.messageid.value_or("?"));
  EXPECT_EQ("jdoe", p.ident.value_or("?"));
  EXPECT_EQ("client.example.org", p.hostname.value_or("?"));

  // A reset page takes the next submission like a new one.
  rcpt r;
  r.pager = "gamma";
  p.rcpts.push_front(r);
  p.message = "second";
  free_page(p, true);
  EXPECT_TRUE(p.rcpts.empty());
  EXPECT_FALSE(p.message.has_value());
  EXPECT_EQ("LHBx042", p.messageid.value_or("?"));
}

TEST(FreePage, ReleaseEmptiesEverything) {
  page p = full_page(reinterpret_cast<in_stream*>(0x1000));
  free_page(p, false);
  expect_empty(p);
}

TEST(FreePage, EmptyPageIsFine) {
  page p;
  free_page(p, true);
  free_page(p, false);
  EXPECT_TRUE(p.rcpts.empty());
  EXPECT_FALSE(p.messageid.has_value());
}

}  // namespace
}  // namespace callvane
