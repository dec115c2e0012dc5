// Tag stripping and character references of HTML body text.
#include <gtest/gtest.h>

#include <string>

#include "message/html_text.h"

using namespace kq;

namespace {
std::string strip(const std::string &s, std::size_t cap = 256) {
  std::string out(cap, 'X');
  std::size_t n = strip_tags(s.data(), s.size(), out.data(), cap);
  EXPECT_EQ(out[n], '\0');
  return out.substr(0, n);
}
std::string ent(std::string s) {
  s.push_back('\0');
  entity_decode(s.data());
  return std::string(s.c_str());
}
}  // namespace

TEST(StripTags, TagsBecomeOneBlank) {
  EXPECT_EQ(strip("<p>a &amp; b</p>"), " a &amp; b ");
  EXPECT_EQ(strip("a > b"), "a > b");
  EXPECT_EQ(strip("<a title=\"x>y\">t</a>"), " y\">t ");  // no quote handling
  EXPECT_EQ(strip("before <unclosed and more"), "before  ");
  EXPECT_EQ(strip(std::string("a\0b<\0>c", 7)), std::string("a\0b c", 5));
  EXPECT_EQ(strip("<script>x=1</script>"), " x=1 ");
  EXPECT_EQ(strip("abcdef", 4), "abc");
}

TEST(EntityDecode, NamedAndNumericReferences) {
  EXPECT_EQ(ent(" a &amp; b "), " a & b ");
  EXPECT_EQ(ent("&lt;&gt;&quot;&apos;&#39;&nbsp;"), "<>\"'' ");
  EXPECT_EQ(ent("&NBSP;"), "&NBSP;");
  EXPECT_EQ(ent("&#65;"), "A");
  EXPECT_EQ(ent("&#x41;"), "&#x41;");
  EXPECT_EQ(ent("&#0x41;"), "A");
  EXPECT_EQ(ent("&#065;"), "5");
  EXPECT_EQ(ent("&#8364;"), "&#8364;");
  EXPECT_EQ(ent("&#31;&#128;"), "&#31;&#128;");
  EXPECT_EQ(ent("&amp;lt;"), "&lt;");
  EXPECT_EQ(ent("AT&T; x"), "AT&T; x");
  EXPECT_EQ(ent("& amp;"), "& amp;");
  EXPECT_EQ(ent("&abcdefghij;&amp;"), "&abcdefghij;&");  // ';' too far away
  EXPECT_EQ(ent("tail &amp"), "tail &amp");
}
