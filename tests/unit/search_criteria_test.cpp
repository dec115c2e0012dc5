// Search criteria read from JSON and applied to rows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "kerquill.h"
#include "search/search.h"

using namespace kq;

namespace {
search_hit row(long long ts, const char *from, const char *to, const char *subject, long long bytes,
               int att) {
  search_hit h{};
  h.uid = 1;
  h.ts = ts;
  h.from = from;
  h.to = to;
  h.subject = subject;
  h.bytes = bytes;
  h.has_attachments = att;
  return h;
}
}  // namespace

TEST(Criteria, KeysAndTheirTypes) {
  search_criteria c;
  ASSERT_TRUE(criteria_parse(R"({"since":"2024-07-07","before":null,"from":"Ann","to":null,)"
                             R"("subject":"","uid_min":3,"uid_max":20.9,"min_bytes":0,)"
                             R"("has_attachments":false,"from":"second","Since":"x"})",
                             c));
  EXPECT_TRUE(c.since_set);
  EXPECT_EQ(c.since, 1720310400);
  EXPECT_FALSE(c.before_set);
  EXPECT_STREQ(c.from, "Ann");
  EXPECT_STREQ(c.to, "");
  EXPECT_TRUE(c.uid_min_set);
  EXPECT_EQ(c.uid_min, 3);
  EXPECT_TRUE(c.uid_max_set);
  EXPECT_EQ(c.uid_max, 20);
  EXPECT_TRUE(c.min_bytes_set);
  EXPECT_EQ(c.min_bytes, 0);
  EXPECT_EQ(c.has_attachments, 0);
  ASSERT_TRUE(criteria_parse(R"({"has_attachments":true})", c));
  EXPECT_EQ(c.has_attachments, 1);
  ASSERT_TRUE(criteria_parse(R"({"has_attachments":-3})", c));
  EXPECT_EQ(c.has_attachments, -1);
}

TEST(Criteria, WrongTypesAndImpossibleDatesAreRefusedByKey) {
  const std::pair<const char *, const char *> cases[] = {
      {R"({"since":"2024-13-45"})", "since"},     {R"({"since":"2023-02-29"})", "since"},
      {R"({"before":"last week"})", "before"},    {R"({"before":"2024-7-7"})", "before"},
      {R"({"since":"2024-07-07T00:00"})", "since"}, {R"({"before":20240707})", "before"},
      {R"({"from":7})", "from"},                  {R"({"to":["a"]})", "to"},
      {R"({"subject":true})", "subject"},         {R"({"uid_min":"3"})", "uid_min"},
      {R"({"uid_max":{}})", "uid_max"},           {R"({"min_bytes":true})", "min_bytes"},
      {R"({"has_attachments":"1"})", "has_attachments"},
      {R"({"has_attachments":2})", "has_attachments"},
  };
  for (const auto &[json, key] : cases) {
    search_criteria c;
    EXPECT_FALSE(criteria_parse(json, c)) << json;
    EXPECT_EQ(std::string(kq_last_error()), std::string("bad criteria: ") + key) << json;
  }
  // Real days at the edges of months and of the leap rules are fine.
  search_criteria c;
  EXPECT_TRUE(criteria_parse(R"({"since":"2024-02-29","before":"2000-02-29"})", c));
  EXPECT_EQ(c.since, 1709164800);
  EXPECT_EQ(c.before, 951782400);
  EXPECT_FALSE(criteria_parse(R"({"since":"1900-02-29"})", c));
  // Before 1970 is a day like any other: every dated message is after it.
  ASSERT_TRUE(criteria_parse(R"({"since":"1969-12-31"})", c));
  EXPECT_EQ(c.since, -86400);
}

TEST(Criteria, AnythingButAnObjectMeansNoFilter) {
  for (const char *text : {"", "null", "[1]", "not json", "{\"from\":", "\"x\""}) {
    search_criteria c;
    std::strcpy(c.from, "stale");
    criteria_parse(text, c);
    EXPECT_STREQ(c.from, "") << text;
    EXPECT_EQ(c.has_attachments, -1) << text;
    EXPECT_FALSE(c.uid_min_set || c.since_set) << text;
  }
}

TEST(Criteria, TextsAreCutToTheirLimits) {
  std::string json = "{\"from\":\"" + std::string(400, 'f') + "\",\"subject\":\"" +
                     std::string(600, 's') + "\"}";
  search_criteria c;
  criteria_parse(json.c_str(), c);
  EXPECT_EQ(std::strlen(c.from), 255u);
  EXPECT_EQ(std::strlen(c.subject), 511u);
}

TEST(Criteria, Matching) {
  search_criteria c;
  criteria_parse(R"({"since":"2024-07-07","before":"2024-07-08"})", c);
  EXPECT_TRUE(criteria_match(c, row(1720310400, "", "", "", 0, -1)));
  EXPECT_FALSE(criteria_match(c, row(1720310399, "", "", "", 0, -1)));
  EXPECT_FALSE(criteria_match(c, row(1720396800, "", "", "", 0, -1)));
  // An unreadable date passes the date filters.
  EXPECT_TRUE(criteria_match(c, row(-1, "", "", "", 0, -1)));

  criteria_parse(R"({"from":"ann@","to":"BOB","subject":"report"})", c);
  EXPECT_TRUE(criteria_match(c, row(-1, "Ann <ANN@x>", "bob@y", "Q3 REPORT", 0, -1)));
  EXPECT_FALSE(criteria_match(c, row(-1, "Ann <ANN@x>", "", "Q3 REPORT", 0, -1)));
  EXPECT_FALSE(criteria_match(c, row(-1, "Ann <ANN@x>", "bob@y", "Q3", 0, -1)));

  criteria_parse(R"({"min_bytes":100,"has_attachments":1})", c);
  EXPECT_TRUE(criteria_match(c, row(-1, "", "", "", 100, 1)));
  EXPECT_FALSE(criteria_match(c, row(-1, "", "", "", 99, 1)));
  EXPECT_FALSE(criteria_match(c, row(-1, "", "", "", 100, -1)));
  criteria_parse(R"({"has_attachments":-5})", c);
  EXPECT_TRUE(criteria_match(c, row(-1, "", "", "", 0, -1)));
}

TEST(Criteria, TextsMatchRegardlessOfCaseBeyondAscii) {
  search_criteria c;
  ASSERT_TRUE(criteria_parse(R"({"from":"m\u00fcller","subject":"\u00fcber","to":"\u0438\u0432\u0430\u043d"})", c));
  EXPECT_TRUE(criteria_match(c, row(-1, "J. M\xc3\x9cLLER <m@x>", "\xd0\x98\xd0\x92\xd0\x90\xd0\x9d",
                                    "\xc3\x9c" "ber die Preise", 0, -1)));
  EXPECT_FALSE(criteria_match(c, row(-1, "J. Muller <m@x>", "\xd0\x98\xd0\x92\xd0\x90\xd0\x9d",
                                     "\xc3\x9c" "ber die Preise", 0, -1)));
}

TEST(AttachmentState, FromTheHeaderBlock) {
  EXPECT_EQ(attachment_state("Content-Type: MULTIPART/MIXED; boundary=x\r\n"), 1);
  // Only the Content-Type field counts, not a subject that names one.
  EXPECT_EQ(attachment_state("Subject: see attachment\r\nContent-Type: text/plain\r\n"), -1);
  EXPECT_EQ(attachment_state("Subject: multipart/mixed\r\n"), -1);
  EXPECT_EQ(attachment_state("Content-Type: multipart/alternative; b=1\r\n"), 0);
  EXPECT_EQ(attachment_state("Content-Type: text/plain\r\n"), -1);
}
