// Header field values of the search rows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "search/search.h"

using namespace kq;

namespace {
// hdr_line_value over a std::string, with a buffer of cap bytes.
std::string value(const std::string &block, const char *name, std::size_t cap = 512,
                  int *found = nullptr) {
  std::string out(cap, '\x7f');
  int rc = hdr_line_value(block.data(), static_cast<long long>(block.size()), name, out.data(), cap);
  if (found) *found = rc;
  return rc ? std::string(out.c_str()) : std::string("<none>");
}
}  // namespace

TEST(HeaderValue, FirstFieldOfThatNameInAnyCase) {
  std::string b = "from: a@x\r\nSUBJECT:  hello  \r\nSubject: second\r\n\r\n";
  EXPECT_EQ(value(b, "From"), "a@x");
  EXPECT_EQ(value(b, "Subject"), "hello");
  EXPECT_EQ(value(b, "To"), "<none>");
  // A longer name that starts with the wanted one is another field.
  EXPECT_EQ(value("To-Do: x\r\nTo: b@y\r\n", "To"), "b@y");
  EXPECT_EQ(value("", "To"), "<none>");
}

TEST(HeaderValue, FoldedFieldsAreUnfolded) {
  EXPECT_EQ(value("Subject: part one\r\n part two\r\n\tpart three\r\nTo: z\r\n", "Subject"),
            "part one part two\tpart three");
  // The value may start on the continuation line.
  EXPECT_EQ(value("To:\r\n  a@x,\r\n  b@y\r\n\r\n", "To"), "a@x,  b@y");
  // Bare LF line ends fold the same way.
  EXPECT_EQ(value("Subject: a\n b\nFrom: f\n", "Subject"), "a b");
  EXPECT_EQ(value("Subject: a\n b\nFrom: f\n", "From"), "f");
  // A folded field at the very end of the block, without a final line end.
  EXPECT_EQ(value("From: x\r\nSubject: end\r\n of block", "Subject"), "end of block");
}

TEST(HeaderValue, TrailingBlanksAndCrsGoTabsStay) {
  EXPECT_EQ(value("Subject: x \t \r\r\n", "Subject"), "x \t");
  int found = 0;
  EXPECT_EQ(value("Subject:\r\nFrom: f\r\n", "Subject", 512, &found), "");
  EXPECT_EQ(found, 1);
  EXPECT_EQ(value("Subject:   \n", "Subject", 512, &found), "");
  EXPECT_EQ(found, 1);
}

TEST(HeaderValue, EncodedWordsStayAsTheyAre) {
  EXPECT_EQ(value("Subject: =?UTF-8?B?w6ll?= x\r\n", "Subject"), "=?UTF-8?B?w6ll?= x");
}

TEST(HeaderValue, CutToTheBufferAfterUnfolding) {
  std::string longline = "Subject: " + std::string(1500, 'a') + "\r\n " + std::string(100, 'b') + "\r\n";
  std::string v = value(longline, "Subject", 1024);
  EXPECT_EQ(v.size(), 1023u);
  EXPECT_EQ(v, std::string(1023, 'a'));
  // The cut applies to the joined value, so a continuation can fill it.
  std::string folded = "From: " + std::string(300, 'x') + "\r\n " + std::string(300, 'y') + "\r\n";
  v = value(folded, "From", 512);
  ASSERT_EQ(v.size(), 511u);
  EXPECT_EQ(v.substr(0, 301), std::string(300, 'x') + " ");
  EXPECT_EQ(v.back(), 'y');
  // Leading blanks are skipped before the cut, not counted in it.
  v = value("To:" + std::string(600, ' ') + "r@x\r\n", "To", 512);
  EXPECT_EQ(v, "r@x");
}

TEST(HeaderValue, OnlyTheGivenLengthIsRead) {
  std::string b = "Subject: abc\r\nFrom: hidden\r\n";
  std::string out(64, '\0');
  // The block ends inside the Subject line: "Subject: ab".
  ASSERT_EQ(hdr_line_value(b.data(), 11, "Subject", out.data(), out.size()), 1);
  EXPECT_STREQ(out.c_str(), "ab");
  EXPECT_EQ(hdr_line_value(b.data(), 14, "From", out.data(), out.size()), 0);
}

TEST(RowHeaderTexts, DecodedToUtf8AndCutBetweenCharacters) {
  std::string block =
      "From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <jm@example.de>\r\n"
      "To: =?KOI8-R?B?8NLJ18XU?=\r\n <ivan@example.ru>\r\n"
      "Subject: =?utf-8?q?=C3=9Cber_die_Preise_f=C3=BCr?=\r\n =?utf-8?q?_2024?=\r\n\r\n";
  kq::row_draft h;
  kq::row_header_texts(h, block.data(), static_cast<long long>(block.size()));
  EXPECT_EQ(h.from, "J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>");
  EXPECT_EQ(h.to, "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 <ivan@example.ru>");
  EXPECT_EQ(h.subject, "\xc3\x9c" "ber die Preise f\xc3\xbcr 2024");

  // Longer raw than the field: encoded words past 1023 bytes still decode,
  // and the text ends on a whole character.
  std::string words;
  for (int i = 0; i < 300; ++i) words += " =?UTF-8?B?w6nDqQ==?=";  // "éé" each
  block = "Subject:" + words + "\r\n\r\n";
  kq::row_header_texts(h, block.data(), static_cast<long long>(block.size()));
  EXPECT_EQ(h.subject.size(), 1022u);
  EXPECT_EQ(h.subject.substr(0, 4), "\xc3\xa9\xc3\xa9");
  std::string missing = "X-Other: 1\r\n\r\n";
  kq::row_header_texts(h, missing.data(), static_cast<long long>(missing.size()));
  EXPECT_EQ(h.from, "");
  EXPECT_EQ(h.subject, "");
}
