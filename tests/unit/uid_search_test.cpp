// Readers of the replies that tell which UIDs a folder holds, and the UID
// set texts commands carry.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "connection/uid_fetch.h"
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

// The part of a UID list that one command line can carry: the set text
// never exceeds its room, runs are cut to their first UID where only that
// fits, and at least one UID always goes.
TEST(UidSearch, SetFitStaysWithinTheRoomGiven) {
  struct row {
    uids in;
    std::size_t max_count, max_chars, want;
  } rows[] = {
      {{1, 2, 3, 7}, 10, 100, 4},                  // "1:3,7" fits whole
      {{1, 2, 3, 7}, 2, 100, 2},                   // the count bounds first
      {{1, 2, 3, 7}, 10, 5, 4},                    // "1:3,7" is 5 characters
      {{1, 2, 3, 7}, 10, 4, 3},                    // "1:3" is 3; ",7" would make 5
      {{1, 5, 6, 7}, 10, 3, 2},                    // "1,5" fits where "1,5:7" does not
      {{4294967295u}, 10, 3, 1},                   // one UID goes even when too long
      {{}, 10, 10, 0},
  };
  for (const row &r : rows) {
    std::size_t n = uid_set_fit(r.in.data(), r.in.size(), r.max_count, r.max_chars);
    EXPECT_EQ(n, r.want) << "max_chars " << r.max_chars;
    if (n > 1) {
      EXPECT_LE(uid_set_text(r.in.data(), n).size(), r.max_chars);
    }
  }
  // Ten-digit UIDs far apart: every command of 2,000 stays within 1,000 octets.
  uids sparse;
  for (std::uint32_t u = 4000000000u; sparse.size() < 2000; u += 7) sparse.push_back(u);
  std::size_t at = 0, commands = 0;
  while (at < sparse.size()) {
    std::size_t n = uid_set_fit(sparse.data() + at, sparse.size() - at, 250, 900);
    ASSERT_GT(n, 0u);
    EXPECT_LE(uid_set_text(sparse.data() + at, n).size(), 900u);
    at += n;
    ++commands;
  }
  EXPECT_LT(commands, 30u);
}

}  // namespace
