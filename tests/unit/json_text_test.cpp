// JSON output escaping and the strict JSON input rules shared by every call.
#include <gtest/gtest.h>
#include <yyjson.h>

#include "base/text.h"

using namespace kq;

TEST(JsonOut, EscapesQuotesBackslashesAndControls) {
  std::string out;
  json_append_str(out, std::string_view("a\"b\\c\nd\x01\x7f\xc3\xa9", 11));
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\nd\\u0001\x7f\xc3\xa9\"");
}

TEST(JsonOut, InvalidUtf8BecomesEscapedBytesValidStaysVerbatim) {
  std::string out;
  static const char in[] = "ok \xc3\xa9 bad \xff\xc3 end\xe2\x82";
  json_append_str_utf8(out, std::string_view(in, sizeof in - 1));
  EXPECT_EQ(out, "\"ok \xc3\xa9 bad \\u00ff\\u00c3 end\\u00e2\\u0082\"");
  json_doc d;
  EXPECT_TRUE(d.parse(out));
  // Overlong encodings and surrogates are not valid UTF-8 either.
  out.clear();
  json_append_str_utf8(out, "\xc0\xaf\xed\xa0\x80");
  EXPECT_EQ(out, "\"\\u00c0\\u00af\\u00ed\\u00a0\\u0080\"");
}

TEST(JsonIn, FirstKeyWinsNumbersTruncateNonNumbersAreZero) {
  json_doc d;
  ASSERT_TRUE(d.parse(R"({"port":993.9,"port":1,"ssl":true,"t":"5","neg":-2.7,"s":"x","n":3})"));
  yyjson_val *root = d.root();
  EXPECT_EQ(json_int(root, "port", 0), 993);
  EXPECT_EQ(json_int(root, "ssl", 1), 0);
  EXPECT_EQ(json_int(root, "t", 30), 0);
  EXPECT_EQ(json_int(root, "neg", 0), -2);
  EXPECT_EQ(json_int(root, "absent", 42), 42);
  EXPECT_STREQ(json_str(root, "s"), "x");
  EXPECT_EQ(json_str(root, "n"), nullptr);
  EXPECT_EQ(json_int(root, "PORT", 7), 7);
}

TEST(JsonIn, StrictParserRejectsLenientInput) {
  json_doc d;
  EXPECT_FALSE(d.parse("{'a':1}"));
  EXPECT_FALSE(d.parse("{\"a\":1,}"));
  EXPECT_FALSE(d.parse("{\"a\":1} // c"));
  ASSERT_TRUE(d.parse("[1,2]"));
  EXPECT_EQ(json_key(d.root(), "a"), nullptr);
}

TEST(CopyCut, CutsAndTerminates) {
  char b[4];
  copy_cut(b, sizeof b, "abcdef");
  EXPECT_STREQ(b, "abc");
  copy_cut(b, sizeof b, "");
  EXPECT_STREQ(b, "");
}
