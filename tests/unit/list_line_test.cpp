// Mailbox names of LIST replies.
#include <gtest/gtest.h>

#include <string>

#include "mailbox/folders.h"

using namespace kq;

namespace {
std::string name_of(const char *line, const char *lit = nullptr, long long lit_len = 0) {
  std::string n;
  return list_parse_line(line, lit, lit_len, n) ? n : std::string("<skip>");
}
}  // namespace

TEST(ListLine, AtomNamesAreTheNameNotTheDelimiter) {
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" INBOX"), "INBOX");
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" Archive/2023"), "Archive/2023");
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \".\" Entw&APw-rfe"), "Entw&APw-rfe");
  EXPECT_EQ(name_of("* LIST () \"/\" Sent"), "Sent");
}

TEST(ListLine, QuotedNamesLoseTheirEscapes) {
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" \"INBOX\""), "INBOX");
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" \"My Folder\""), "My Folder");
  EXPECT_EQ(name_of("* LIST () \"/\" \"say \\\"hi\\\"\""), "say \"hi\"");
  EXPECT_EQ(name_of("* LIST () \"/\" \"back\\\\slash\""), "back\\slash");
  // The delimiter itself may be an escaped backslash.
  EXPECT_EQ(name_of("* LIST () \"\\\\\" \"a\\\\b\""), "a\\b");
}

TEST(ListLine, LiteralNamesComeFromTheRecordsLiteral) {
  // The reader leaves "* LIST () "/" " and moves the literal bytes aside.
  const char lit[] = "odd\r\nname";
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" ", lit, 9), "odd\r\nname");
  EXPECT_EQ(name_of("* LIST (\\HasNoChildren) \"/\" ", nullptr, 0), "<skip>");
}

TEST(ListLine, NilDelimiter) {
  EXPECT_EQ(name_of("* LIST (\\Noselect) NIL flat"), "flat");
  EXPECT_EQ(name_of("* LIST () nil \"flat two\""), "flat two");
}

TEST(ListLine, OtherRecordsAreSkipped) {
  EXPECT_EQ(name_of("* LSUB () \"/\" INBOX"), "<skip>");
  EXPECT_EQ(name_of("* list () \"/\" INBOX"), "<skip>");
  EXPECT_EQ(name_of("* OK done"), "<skip>");
  EXPECT_EQ(name_of("* LIST () \"/\" \"unterminated"), "<skip>");
  EXPECT_EQ(name_of("* LIST () \"/\" \"\""), "<skip>");
  EXPECT_EQ(name_of("* LIST \"/\" INBOX"), "<skip>");
}

TEST(ListLine, DelimiterIsReportedAsTheServerSentIt) {
  struct row {
    const char *line;
    const char *delimiter;
  };
  for (const row &r : {row{"* LIST () \"/\" INBOX", "/"}, row{"* LIST () \".\" INBOX.Archive", "."},
                       row{"* LIST () \"\\\\\" \"a\\\\b\"", "\\"}, row{"* LIST () NIL Flat", ""}}) {
    std::string name, delimiter = "<unset>";
    ASSERT_TRUE(list_parse_line(r.line, nullptr, 0, name, &delimiter)) << r.line;
    EXPECT_EQ(delimiter, r.delimiter) << r.line;
  }
}
