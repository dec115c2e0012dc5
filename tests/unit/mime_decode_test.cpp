// Base64, quoted-printable and the identity copy.
#include <gtest/gtest.h>

#include <string>

#include "message/mime.h"

using namespace kq;

namespace {
struct decoded {
  long long r;
  std::string bytes;  // the whole destination buffer
};
decoded dec(const std::string &src, const char *cte, std::size_t cap = 64) {
  std::string dst(cap, 'X');
  long long r = decode_part(src.data(), src.size(), cte, dst.data(), cap);
  return {r, dst};
}
std::string ok(const std::string &src, const char *cte) {
  decoded d = dec(src, cte);
  EXPECT_GE(d.r, 0) << src;
  return d.r < 0 ? "" : d.bytes.substr(0, static_cast<std::size_t>(d.r));
}
}  // namespace

TEST(Base64, AlphabetWhiteSpaceAndPadding) {
  EXPECT_EQ(ok("QUJD", "base64"), "ABC");
  EXPECT_EQ(ok("QU JD\r\n", "base64"), "ABC");
  EXPECT_EQ(ok("QQ==", "base64"), "A");
  EXPECT_EQ(ok("", "base64"), "");
  EXPECT_EQ(ok("SGVs\r\nbG8s\r\nIHdv\r\ncmxk\r\n", "BASE64"), "Hello, world");
  EXPECT_EQ(ok("AP8NCg==", "x-base64"), std::string("\x00\xff\r\n", 4));
  // Padding is skipped wherever it stands; the bit stream runs on.
  EXPECT_EQ(ok("QQ==QUI=", "base64"), std::string("A\x04\x14", 3));
}

TEST(Base64, BadBytesFailKeepingWhatDecoded) {
  decoded d = dec("QUJD-QUJD", "base64");
  EXPECT_EQ(d.r, -1);
  EXPECT_EQ(d.bytes.substr(0, 4), std::string("ABC\0", 4));
  EXPECT_EQ(dec("QUJD\x80", "base64").r, -1);
  EXPECT_EQ(dec("QU_D", "base64").r, -1);
}

TEST(DecodeLimits, ExactFitSucceedsOneMoreFails) {
  decoded d = dec("QUJD", "base64", 3);
  EXPECT_EQ(d.r, 3);
  EXPECT_EQ(d.bytes, "ABC");
  EXPECT_EQ(dec("QUJDRA==", "base64", 3).r, -1);
  EXPECT_EQ(dec("abc", "quoted-printable", 3).r, 3);
  EXPECT_EQ(dec("abcd", "quoted-printable", 3).r, -1);
  // The identity copy cuts without failing.
  d = dec("abcdef", "8bit", 4);
  EXPECT_EQ(d.r, 4);
  EXPECT_EQ(d.bytes, "abcd");
  d = dec("ab", "", 4);
  EXPECT_EQ(d.bytes, std::string("ab\0\0", 4));  // zero-filled first
}

TEST(QuotedPrintable, EscapesAndLineEnds) {
  EXPECT_EQ(ok("=41", "quoted-printable"), "A");
  EXPECT_EQ(ok("=3d=3D", "Quoted-Printable"), "==");
  EXPECT_EQ(ok("=4", "quoted-printable"), "=4");
  EXPECT_EQ(ok("=ZZ", "quoted-printable"), "=ZZ");
  EXPECT_EQ(ok("a\r\nb", "quoted-printable"), "a\nb");
  EXPECT_EQ(ok("a\rb\n", "quoted-printable"), "a\rb\n");
  EXPECT_EQ(ok("caf=E9", "quoted-printable"), "caf\xe9");
  EXPECT_EQ(ok("", "quoted-printable"), "");
}

TEST(QuotedPrintable, SoftLineBreaksVanish) {
  EXPECT_EQ(ok("a=\r\nb", "quoted-printable"), "ab");
  EXPECT_EQ(ok("a=\nb", "quoted-printable"), "ab");
  EXPECT_EQ(ok("long line that w=\r\nraps =3D twice=\r\n here.\r\n", "quoted-printable"),
            "long line that wraps = twice here.\n");
  EXPECT_EQ(ok("end=\r\n", "quoted-printable"), "end");
  EXPECT_EQ(ok("end=", "quoted-printable"), "end=");
  EXPECT_EQ(ok("a=\rb", "quoted-printable"), "a=\rb");
}
