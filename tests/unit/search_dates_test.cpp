// Criteria days and INTERNALDATE texts as UTC seconds.
#include <gtest/gtest.h>

#include "search/search.h"

using namespace kq;

namespace {
constexpr long long k_2024_07_07 = 1720310400;  // 2024-07-07 00:00:00 UTC
}

TEST(ParseDay, ReadsYearMonthDayAsUtcMidnight) {
  EXPECT_EQ(kq_parse_yyyymmdd("2024-07-07"), k_2024_07_07);
  EXPECT_EQ(kq_parse_yyyymmdd("1970-01-01"), 0);
  // Out-of-range months and days carry over into the next unit.
  EXPECT_EQ(kq_parse_yyyymmdd("2024-13-01"), kq_parse_yyyymmdd("2025-01-01"));
  EXPECT_EQ(kq_parse_yyyymmdd("2024-02-30"), kq_parse_yyyymmdd("2024-03-01"));
  // Text after the third number does not matter.
  EXPECT_EQ(kq_parse_yyyymmdd("2024-07-07T12:00"), k_2024_07_07);
}

TEST(ParseDay, RejectsTextWithoutThreeNumbersAndDaysBefore1970) {
  EXPECT_EQ(kq_parse_yyyymmdd("2024/07/07"), -1);
  EXPECT_EQ(kq_parse_yyyymmdd("2024-07"), -1);
  EXPECT_EQ(kq_parse_yyyymmdd("yesterday"), -1);
  EXPECT_EQ(kq_parse_yyyymmdd(""), -1);
  EXPECT_EQ(kq_parse_yyyymmdd(nullptr), -1);
  EXPECT_EQ(kq_parse_yyyymmdd("1969-12-31"), -1);
  EXPECT_EQ(kq_parse_yyyymmdd("99999999999-01-01"), -1);
}

TEST(InternalDate, ZoneIsSubtracted) {
  const long long t0905 = k_2024_07_07 + 9 * 3600 + 5 * 60;
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00 +0000"), t0905);
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00 +0200"), t0905 - 2 * 3600);
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00 -0530"), t0905 + 5 * 3600 + 30 * 60);
  // A zone that moves the time across midnight changes the day too.
  EXPECT_EQ(internaldate_ts("07-Jul-2024 01:00:00 +0300"), k_2024_07_07 - 2 * 3600);
}

TEST(InternalDate, BlankPaddedDayAndMonthInAnyCase) {
  const long long t = k_2024_07_07 + 9 * 3600 + 5 * 60 - 2 * 3600;
  EXPECT_EQ(internaldate_ts(" 7-Jul-2024 09:05:00 +0200"), t);
  EXPECT_EQ(internaldate_ts(" 7-JUL-2024 09:05:00 +0200"), t);
  EXPECT_EQ(internaldate_ts(" 7-jul-2024 09:05:00 +0200"), t);
  EXPECT_EQ(internaldate_ts("01-Dec-2023 00:00:00 +0000"), 1701388800);
}

TEST(InternalDate, WithoutReadableZoneTheTimeIsUtc) {
  const long long t0905 = k_2024_07_07 + 9 * 3600 + 5 * 60;
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00"), t0905);
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00 GMT"), t0905);
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05:00 +02"), t0905);
}

TEST(InternalDate, UnreadableGivesMinusOne) {
  EXPECT_EQ(internaldate_ts(""), -1);
  EXPECT_EQ(internaldate_ts("07-Jux-2024 09:05:00 +0000"), -1);
  EXPECT_EQ(internaldate_ts("07-Ju-2024 09:05:00 +0000"), -1);
  EXPECT_EQ(internaldate_ts("2024-07-07 09:05:00"), -1);
  EXPECT_EQ(internaldate_ts("07-Jul-2024 09:05"), -1);
  EXPECT_EQ(internaldate_ts("31-Dec-1969 23:00:00 +0000"), -1);
  // Before 1970 once the zone is taken off.
  EXPECT_EQ(internaldate_ts("01-Jan-1970 00:30:00 +0100"), -1);
}
