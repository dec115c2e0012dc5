// Readers of the replies that tell which UIDs a folder holds, and the UID
// set texts commands carry.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "connection/uid_search.h"

using namespace kq;

namespace {

using uids = std::vector<std::uint32_t>;

TEST(UidSearch, EsearchRecordsOfEveryShape) {
  esearch_reply e;
  ASSERT_TRUE(parse_esearch("* ESEARCH (TAG \"KQ0007\") UID ALL 1:3,7,10:9", e));
  EXPECT_EQ(e.tag, "KQ0007");
  EXPECT_TRUE(e.uid);
  EXPECT_TRUE(e.has_all);
  EXPECT_EQ(e.all, (uids{1, 2, 3, 7, 9, 10}));  // a span may run downwards

  ASSERT_TRUE(parse_esearch("* ESEARCH (TAG \"a\") UID MIN 4 MAX 4000000000 COUNT 12", e));
  EXPECT_EQ(e.min, 4);
  EXPECT_EQ(e.max, 4000000000LL);
  EXPECT_EQ(e.count, 12);
  EXPECT_FALSE(e.has_all);

  // An empty folder: no return data at all; unknown data is passed over.
  ASSERT_TRUE(parse_esearch("* ESEARCH (TAG \"b\") UID", e));
  EXPECT_EQ(e.min, -1);
  ASSERT_TRUE(parse_esearch("* esearch UID MODSEQ 5 MAX 8", e));
  EXPECT_EQ(e.max, 8);
  EXPECT_EQ(e.tag, "");

  EXPECT_FALSE(parse_esearch("* SEARCH 1 2", e));
  EXPECT_FALSE(parse_esearch("* ESEARCHX UID", e));
  EXPECT_FALSE(parse_esearch("* ESEARCH UID MIN x", e));
  EXPECT_FALSE(parse_esearch("* ESEARCH UID ALL 1:4294967296", e));
  EXPECT_FALSE(parse_esearch("* ESEARCH UID ALL 0:3", e));
  // A set far beyond the bound given is refused, not expanded.
  EXPECT_FALSE(parse_esearch("* ESEARCH UID ALL 1:4000000000", e, 1000));
  EXPECT_TRUE(parse_esearch("* ESEARCH UID ALL 1:1000", e, 1000));
}

TEST(UidSearch, PlainSearchRepliesAndUidSetsBothWays) {
  uids out;
  ASSERT_TRUE(parse_search("* SEARCH 2 84 882", out));
  ASSERT_TRUE(parse_search("* SEARCH", out));
  ASSERT_TRUE(parse_search("* SEARCH 9 (MODSEQ 4)", out));
  EXPECT_EQ(out, (uids{2, 84, 882, 9}));
  EXPECT_FALSE(parse_search("* ESEARCH UID ALL 1", out));

  EXPECT_TRUE(parse_uid_set("5,1:2,2", out, 100));
  EXPECT_EQ(out, (uids{1, 2, 5}));
  EXPECT_FALSE(parse_uid_set("1:*", out, 100));
  EXPECT_FALSE(parse_uid_set("1,,2", out, 100));

  const uids some{1, 2, 3, 7, 9, 10, 4294967295u};
  EXPECT_EQ(uid_set_text(some.data(), some.size()), "1:3,7,9:10,4294967295");
  uids back;
  ASSERT_TRUE(parse_uid_set(uid_set_text(some.data(), some.size()), back, 100));
  EXPECT_EQ(back, some);
  EXPECT_EQ(uid_set_text(some.data(), 0), "");
}

}  // namespace
