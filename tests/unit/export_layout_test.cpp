// Where messages go in an archive: layout choice, year-month directories,
// directory creation.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

TEST(ExportLayout, MaildirFlagLettersInAsciiOrder) {
  struct row {
    std::vector<std::string> flags;
    const char *letters;
  };
  const row rows[] = {
      {{}, ""},
      {{"\\Seen"}, "S"},
      {{"\\Seen", "\\Flagged"}, "FS"},
      {{"\\Deleted", "\\Seen", "\\Answered", "\\Flagged", "\\Draft"}, "DFRST"},
      {{"\\SEEN", "\\answered"}, "RS"},              // flag names are case-insensitive
      {{"$Label1", "\\Recent", "Seen", "\\Seen"}, "S"},  // keywords and \Recent have no letter
      {{"\\Seen", "\\Seen"}, "S"},                    // each letter once
  };
  for (const row &r : rows) {
    EXPECT_EQ(maildir_flag_letters(r.flags), r.letters) << ::testing::PrintToString(r.flags);
    EXPECT_EQ(maildir_name(1700000000, 42, 7, &r.flags),
              std::string("cur/1700000000.U42_7.kerquill:2,") + r.letters);
  }
}

TEST(ExportLayout, MaildirUniquePartDependsOnlyOnDateAndIdentity) {
  std::vector<std::string> seen{"\\Seen"}, flagged{"\\Flagged"};
  auto unique = [](const std::string &name) { return name.substr(0, name.find(":2,")); };
  // Flags at fetch time change only the suffix: a later run finds the message again.
  EXPECT_EQ(unique(maildir_name(5, 9, 3, &seen)), unique(maildir_name(5, 9, 3, &flagged)));
  EXPECT_EQ(maildir_name(5, 9, 3, nullptr), "cur/5.U9_3.kerquill:2,");
  // Another UID or another generation of the folder is another message.
  EXPECT_NE(unique(maildir_name(5, 9, 3, &seen)), unique(maildir_name(5, 9, 4, &seen)));
  EXPECT_NE(unique(maildir_name(5, 9, 3, &seen)), unique(maildir_name(5, 10, 3, &seen)));
  // An unreadable INTERNALDATE reads as the epoch rather than a negative name.
  EXPECT_EQ(maildir_name(-1, 9, 3, nullptr), "cur/0.U9_3.kerquill:2,");
  // Windows names cannot hold ':'.
  EXPECT_EQ(maildir_name(5, 9, 3, &seen, true), "cur/5.U9_3.kerquill!2,S");
}
