// Search criteria read from JSON and applied to rows.
#include <gtest/gtest.h>

#include <cstring>

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

TEST(Criteria, KeysAndTheirTypeRules) {
  search_criteria c;
  criteria_parse(R"({"since":"2024-07-07","before":5,"from":"Ann","to":7,"subject":"",)"
                 R"("uid_min":"3","uid_max":20.9,"min_bytes":true,"has_attachments":false,)"
                 R"("from":"second","Since":"2000-01-01"})",
                 c);
  EXPECT_TRUE(c.since_set);
  EXPECT_EQ(c.since, 1720310400);
  EXPECT_FALSE(c.before_set);
  EXPECT_STREQ(c.from, "Ann");
  EXPECT_STREQ(c.to, "");
  EXPECT_TRUE(c.uid_min_set);
  EXPECT_EQ(c.uid_min, 0);
  EXPECT_TRUE(c.uid_max_set);
  EXPECT_EQ(c.uid_max, 20);
  EXPECT_TRUE(c.min_bytes_set);
  EXPECT_EQ(c.min_bytes, 0);
  EXPECT_EQ(c.has_attachments, 0);
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
  search_criteria c;
  criteria_parse(R"({"since":"soon","before":"1960-01-01"})", c);
  EXPECT_FALSE(c.since_set);
  EXPECT_FALSE(c.before_set);
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

TEST(AttachmentState, FromTheHeaderBlock) {
  EXPECT_EQ(attachment_state("Content-Type: MULTIPART/MIXED; boundary=x\r\n"), 1);
  EXPECT_EQ(attachment_state("Subject: see attachment\r\nContent-Type: text/plain\r\n"), 1);
  EXPECT_EQ(attachment_state("Content-Type: multipart/alternative; b=1\r\n"), 0);
  EXPECT_EQ(attachment_state("Content-Type: text/plain\r\n"), -1);
}
