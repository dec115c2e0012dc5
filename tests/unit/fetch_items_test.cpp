// Data items of FETCH records.
#include <gtest/gtest.h>

#include "search/fetch_items.h"

using namespace kq;

TEST(FetchItems, UidSizeAndDateInThatOrder) {
  fetch_items f = read_fetch_items(
      "* 3 FETCH (UID 41 RFC822.SIZE 1234 INTERNALDATE \" 7-Jul-2024 09:05:00 +0200\" BODY[HEADER] )");
  EXPECT_EQ(f.count, 3);
  EXPECT_EQ(f.uid, 41u);
  EXPECT_EQ(f.size, 1234);
  EXPECT_STREQ(f.date, " 7-Jul-2024 09:05:00 +0200");
}

TEST(FetchItems, AnotherOrderReadsOnlyTheLeadingItems) {
  EXPECT_EQ(read_fetch_items("* 3 FETCH (RFC822.SIZE 1 UID 41)").count, 0);
  fetch_items f = read_fetch_items("* 3 FETCH (UID 41 INTERNALDATE \"x\" RFC822.SIZE 9)");
  EXPECT_EQ(f.count, 1);
  EXPECT_EQ(f.uid, 41u);
  // A UID above 32 bits is no UID.
  EXPECT_EQ(read_fetch_items("* 3 FETCH (UID 4294967296 RFC822.SIZE 1)").count, 0);
}

TEST(FetchItems, LongDateIsCutAt63) {
  std::string rec = "* 1 FETCH (UID 1 RFC822.SIZE 2 INTERNALDATE \"" + std::string(80, 'd') + "\")";
  fetch_items f = read_fetch_items(rec.c_str());
  EXPECT_EQ(f.count, 3);
  EXPECT_EQ(std::string(f.date), std::string(63, 'd'));
}

TEST(FetchUid, FoundInAnyPosition) {
  unsigned long long u = 0;
  EXPECT_TRUE(read_fetch_uid("* 5 FETCH (UID 17)", u));
  EXPECT_EQ(u, 17u);
  EXPECT_TRUE(read_fetch_uid("* 5 FETCH (FLAGS (\\Seen) UID 18)", u));
  EXPECT_EQ(u, 18u);
  EXPECT_FALSE(read_fetch_uid("* 5 FETCH (FLAGS (\\Seen))", u));
  EXPECT_FALSE(read_fetch_uid("* 5 EXPUNGE", u));
  EXPECT_FALSE(read_fetch_uid("* 5 FETCH (XUID 3)", u));
}
