// Header/body split, unfolded header values and the boundary/filename
// parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "message/mime.h"

using namespace kq;

namespace {
mime_part parse(const std::string &s) {
  mime_part p;
  part_parse_headers(&p, s.data(), s.size());
  return p;
}
}  // namespace

TEST(MimeSplit, FindsTheBlankLineInEitherLineEndForm) {
  std::string crlf = "A: 1\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
  mime_part p = parse(crlf);
  EXPECT_EQ(p.header_len, crlf.find("body"));
  EXPECT_EQ(std::string(p.body, p.body_len), "body\r\n");
  EXPECT_STREQ(p.ctype, "text/plain");  // last line before the blank line counts

  std::string lf = "A: 1\nContent-Type: text/plain\n\nbody\n";
  p = parse(lf);
  EXPECT_EQ(std::string(p.body, p.body_len), "body\n");
  EXPECT_STREQ(p.ctype, "text/plain");

  // No blank line: all headers, empty body.
  p = parse("Content-Type: text/html");
  EXPECT_EQ(p.header_len, 23u);
  EXPECT_EQ(p.body_len, 0u);
  EXPECT_STREQ(p.ctype, "text/html");
  p = parse("");
  EXPECT_EQ(p.header_len, 0u);
  EXPECT_EQ(p.body_len, 0u);
}

TEST(MimeSplit, BareLfHeadersEndAtTheirOwnBlankLineNotAtALaterCrlfOne) {
  // The body holds a CR LF CR LF; the headers still end at the first blank line.
  std::string s = "Content-Type: text/plain\n\nline\r\n\r\nContent-Type: image/png\r\n";
  mime_part p = parse(s);
  EXPECT_EQ(p.header_len, 26u);
  EXPECT_STREQ(p.ctype, "text/plain");
  EXPECT_EQ(std::string(p.body, 4), "line");
}

TEST(MimeSplit, APartOpeningWithItsBlankLineHasNoHeaders) {
  // Text in the body that looks like a header field is not read as one.
  mime_part p = parse("\r\nContent-Type: image/png\r\n\r\nrest");
  EXPECT_EQ(p.header_len, 2u);
  EXPECT_STREQ(p.ctype, "");
  EXPECT_EQ(p.body_len, 31u);
  p = parse("\nContent-Disposition: attachment\n\nrest");
  EXPECT_EQ(p.header_len, 1u);
  EXPECT_STREQ(p.disposition, "");
}

TEST(MimeHeaders, BareLfValueStopsAtItsLineEnd) {
  mime_part p = parse("Content-Type: text/plain\nContent-Transfer-Encoding: base64\nX: y\n\nQUJD\n");
  EXPECT_STREQ(p.ctype, "text/plain");
  EXPECT_STREQ(p.cte, "base64");
}

TEST(MimeHeaders, FoldedContentTypeIsUnfoldedAndSeenAsContainer) {
  mime_part p = parse("Content-Type: multipart/alternative;\r\n boundary=b1\r\n\r\n");
  EXPECT_STREQ(p.ctype, "multipart/alternative; boundary=b1");
  EXPECT_EQ(p.has_boundary, 1);
  EXPECT_STREQ(p.boundary, "b1");
  EXPECT_TRUE(part_is_container(p));

  p = parse("Content-Type: multipart/mixed;\r\n\tboundary=\"=_x y\"\r\nSubject: s\r\n\r\n");
  EXPECT_STREQ(p.ctype, "multipart/mixed;\tboundary=\"=_x y\"");
  EXPECT_STREQ(p.boundary, "=_x y");

  // Value starting on the continuation line; bare LF folding.
  p = parse("Content-Type:\n  multipart/mixed;\n\tboundary=zz\nX: 1\n\n");
  EXPECT_STREQ(p.ctype, "multipart/mixed;\tboundary=zz");
  EXPECT_STREQ(p.boundary, "zz");
}

TEST(MimeHeaders, FoldedDispositionKeepsItsFilename) {
  mime_part p = parse(
      "Content-Disposition: attachment;\r\n\tfilename=\"report 1.pdf\"\r\n"
      "Content-Type: application/pdf\r\n\r\nx");
  EXPECT_STREQ(p.disposition, "attachment;\tfilename=\"report 1.pdf\"");
  EXPECT_STREQ(p.filename, "report 1.pdf");
  EXPECT_STREQ(p.ctype, "application/pdf");
}

TEST(MimeHeaders, NameMatchRules) {
  mime_part p = parse("content-type: text/html\r\n\r\n");
  EXPECT_STREQ(p.ctype, "text/html");
  p = parse("Content-Type : text/html\r\n\r\n");
  EXPECT_STREQ(p.ctype, "");
  // A continuation line never starts a field of its own.
  p = parse("X-Note: a\r\n Content-Type: text/html\r\n\r\n");
  EXPECT_STREQ(p.ctype, "");
  // The first field wins.
  p = parse("Content-Type: text/plain\r\nContent-Type: text/html\r\n\r\n");
  EXPECT_STREQ(p.ctype, "text/plain");
  p = parse("Content-Type:\t \ttext/plain\r\n\r\n");
  EXPECT_STREQ(p.ctype, "text/plain");
}

TEST(MimeHeaders, ValuesAreCutAtTheirLimits) {
  std::string longv(1200, 'a');
  mime_part p = parse("Content-Type: " + longv + "\r\nContent-Transfer-Encoding: " + longv +
                      "\r\nContent-Disposition: " + longv + "\r\n\r\n");
  EXPECT_EQ(std::string(p.ctype), std::string(511, 'a'));
  EXPECT_EQ(std::string(p.cte), std::string(63, 'a'));
  EXPECT_EQ(std::string(p.disposition), std::string(1023, 'a'));
  // A folded value is cut after unfolding.
  p = parse("Content-Type: x;\r\n " + longv + "\r\n\r\n");
  EXPECT_EQ(std::string(p.ctype), "x; " + std::string(508, 'a'));
  // A filename beyond the first 1023 characters of the disposition is lost.
  p = parse("Content-Disposition: attachment; x=" + std::string(996, 'b') +
            "; filename=late.pdf\r\n\r\n");
  EXPECT_STREQ(p.filename, "la");
}

TEST(MimeHeaders, HdrFindGivesTheUnfoldedValueAndItsPosition) {
  std::string block = "A: 1\r\nSubject:  hello\r\n  world\r\nB: 2";
  char out[64];
  const char *v = hdr_find(block.data(), block.data() + block.size(), "subject:", out, sizeof out);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v, block.data() + block.find("hello"));
  EXPECT_STREQ(out, "hello  world");
  EXPECT_EQ(hdr_find(block.data(), block.data() + block.size(), "C:", out, sizeof out), nullptr);
  EXPECT_STREQ(out, "");
  char small[6];
  hdr_find(block.data(), block.data() + block.size(), "Subject:", small, sizeof small);
  EXPECT_STREQ(small, "hello");
  // The block end bounds the value even without a line end.
  v = hdr_find(block.data(), block.data() + block.size(), "b:", out, sizeof out);
  EXPECT_STREQ(out, "2");
}

TEST(MimeParams, BoundaryAndFilenameForms) {
  mime_part p = parse("Content-Type: multipart/mixed; boundary=b1; charset=x\r\n\r\n");
  EXPECT_STREQ(p.boundary, "b1");
  p = parse("Content-Type: multipart/mixed; boundary=\"b 1\"\r\n\r\n");
  EXPECT_STREQ(p.boundary, "b 1");
  p = parse("Content-Type: multipart/mixed; boundary=\r\n\r\n");
  EXPECT_EQ(p.has_boundary, 1);
  EXPECT_STREQ(p.boundary, "");
  EXPECT_FALSE(part_is_container(p));
  p = parse("Content-Type: multipart/mixed\r\n\r\n");
  EXPECT_EQ(p.has_boundary, 0);
  // The tab a fold leaves behind ends an unquoted value.
  p = parse("Content-Type: multipart/mixed; boundary=b1\r\n\t; charset=x\r\n\r\n");
  EXPECT_STREQ(p.boundary, "b1");
  p = parse("Content-Disposition: attachment; filename=report.pdf;size=10\r\n\r\n");
  EXPECT_STREQ(p.filename, "report.pdf");
  p = parse("Content-Disposition: attachment; filename*=UTF-8''a%C3%A9.pdf\r\n\r\n");
  EXPECT_STREQ(p.filename, "a\xc3\xa9.pdf");
  // A decoded name longer than the field is cut between characters.
  p = parse("Content-Disposition: attachment; filename=\"" + std::string(509, 'x') +
            "\xc3\xa9\xc3\xa9\"\r\n\r\n");
  EXPECT_EQ(std::strlen(p.filename), 509u + 2u);
  p = parse("Content-Disposition: attachment; FILENAME=\"unterminated\r\n\r\n");
  EXPECT_STREQ(p.filename, "unterminated");
}
