// Where messages go in an archive: layout choice, year-month directories,
// directory creation.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/layout.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {
std::string ym(const char *date) {
  int y, m;
  date_year_month(date, &y, &m);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d", y, m);
  return buf;
}
}  // namespace

TEST(ExportLayout, NamingSelectsDatedOnlyWhenItHoldsYyyy) {
  EXPECT_TRUE(naming_is_dated("YYYY\\MM\\uid"));
  EXPECT_TRUE(naming_is_dated("yyyy"));
  EXPECT_TRUE(naming_is_dated("yyyy-mm"));
  EXPECT_TRUE(naming_is_dated("by-YyYy"));
  EXPECT_FALSE(naming_is_dated(""));
  EXPECT_FALSE(naming_is_dated("flat"));
  EXPECT_FALSE(naming_is_dated("MM\\uid"));
  EXPECT_FALSE(naming_is_dated("YYY"));
}

TEST(ExportLayout, YearAndMonthFromInternalDate) {
  EXPECT_EQ(ym("17-Jul-1996 02:44:25 -0700"), "1996-07");
  EXPECT_EQ(ym(" 3-jan-2024 10:00:00 +0000"), "2024-01");
  EXPECT_EQ(ym("01-DEC-2023 23:59:59 +0100"), "2023-12");
  EXPECT_EQ(ym("17-Foo-1996 02:44:25 -0700"), "1996-00");
  EXPECT_EQ(ym("17-Jul-1850 02:44:25 -0700"), "1970-01");
  EXPECT_EQ(ym(""), "1970-01");
  EXPECT_EQ(ym("2024-07-17"), "1970-01");
  EXPECT_EQ(ym("17-Jul-"), "1970-01");
  EXPECT_EQ(ym("garbage"), "1970-01");
  // A year too long to be one is unreadable, not an overflow.
  EXPECT_EQ(ym("1-Jan-99999999999999999999"), "1970-01");
}

TEST(ExportLayout, RelativeNamesFlatAndDated) {
  EXPECT_EQ(relative_name(false, "17-Jul-1996 02:44:25 -0700", 4711), "uid-4711.eml");
  EXPECT_EQ(relative_name(true, "17-Jul-1996 02:44:25 -0700", 4711), "1996-07/uid-4711.eml");
  EXPECT_EQ(relative_name(true, "", 4294967295u), "1970-01/uid-4294967295.eml");
}

TEST(ExportLayout, MkdirsCreatesEveryLevelAcrossBothSeparators) {
  kqtest::scratch_dir d;
  std::string target = d.str() + "/a\\b/c";
  EXPECT_EQ(mkdirs(target.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(d.str() + "/a/b/c"));
  // Already there: passed over, still a directory.
  EXPECT_EQ(mkdirs((d.str() + "/a/b/c").c_str()), 0);
  kqtest::write_all(d.file("plain"), "x");
  EXPECT_EQ(mkdirs(d.file("plain").c_str()), -1);
}
