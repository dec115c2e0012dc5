// Delimiter lines, the part walk and the bounded depth-first leaf walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/attachments.h"
#include "message/mime.h"

using namespace kq;

namespace {
const char *fb(const std::string &s, const char *b) { return find_boundary(s.data(), s.size(), b); }

std::vector<std::string> parts_of(const std::string &msg) {
  mime_part p;
  part_parse_headers(&p, msg.data(), msg.size());
  std::vector<std::string> out;
  part_walk(p, [&](const char *s, std::uint64_t n) {
    out.emplace_back(s, n);
    return true;
  });
  return out;
}
}  // namespace

TEST(FindBoundary, Rules) {
  std::string s = "--b\r\n";
  EXPECT_EQ(fb(s, "b"), s.data());  // at the start of the range
  s = "--zzz\r\n";
  EXPECT_EQ(fb(s, "b"), nullptr);   // a leading "--" alone is no delimiter
  s = "x\r\n--b\r\ny";
  EXPECT_EQ(fb(s, "b"), s.data() + 3);
  s = "x\n--b\ny";
  EXPECT_EQ(fb(s, "b"), s.data() + 2);
  s = "x\n--b\r\ny\r\n--b\r\n";
  EXPECT_EQ(fb(s, "b"), s.data() + 2);  // the first line, whatever its line end
  s = "x\r\n--b";
  EXPECT_EQ(fb(s, "b"), s.data() + 3);  // the range may end the line
  s = "x\r\n--b--  \t\r\n";
  EXPECT_EQ(fb(s, "b"), s.data() + 3);  // close delimiter with blanks after it
  s = "x--b\r\n";
  EXPECT_EQ(fb(s, "b"), nullptr);
  EXPECT_EQ(find_boundary("", 0, "b"), nullptr);
}

TEST(FindBoundary, ALongerBoundaryOrTextAfterItIsAnotherLine) {
  for (const char *line : {"--b2", "--b-", "--b---", "--b--x", "--b x", "--bb", "--b\r\r"}) {
    std::string s = std::string("x\r\n") + line + "\r\n";
    EXPECT_EQ(fb(s, "b"), nullptr) << line;
  }
}

TEST(PartWalk, QuotedAndUnquotedBoundariesPreambleAndEpilogue) {
  std::string m =
      "Content-Type: multipart/mixed; boundary=\"q=_1\"\r\n\r\n"
      "preamble\r\n--q=_1\r\nA: 1\r\n\r\none\r\n--q=_1  \r\n\r\ntwo\n\r\n--q=_1--\r\nepilogue";
  auto parts = parts_of(m);
  ASSERT_EQ(parts.size(), 2u);  // the epilogue after the close delimiter is no part
  EXPECT_EQ(parts[0], "A: 1\r\n\r\none");
  EXPECT_EQ(parts[1], "\r\ntwo\n");  // a bare LF before the CR LF delimiter stays

  std::string lf = "Content-Type: multipart/mixed; boundary=b\n\n--b\n\nx\n--b\n\ny\n--b--\n";
  parts = parts_of(lf);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0], "\nx");  // the bare LF before a delimiter belongs to it
  EXPECT_EQ(parts[1], "\ny");
}

TEST(PartWalk, InnerBoundaryThatExtendsTheOuterOneHidesNoPart) {
  std::string m =
      "Content-Type: multipart/mixed; boundary=X\r\n\r\n"
      "--X\r\nContent-Type: multipart/alternative; boundary=X2\r\n\r\n"
      "--X2\r\nContent-Type: text/plain\r\n\r\np\r\n--X2--\r\n"
      "\r\n--X\r\nContent-Type: application/pdf\r\n\r\nPDF\r\n--X--\r\n";
  auto parts = parts_of(m);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[1], "Content-Type: application/pdf\r\n\r\nPDF");
}

TEST(PartWalk, TenThousandBareLfPartsEachSeenOnce) {
  std::string m = "Content-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < 10000; ++i) m += "--b\n\n" + std::to_string(i) + "\n";
  m += "--b--\n";
  auto parts = parts_of(m);
  ASSERT_EQ(parts.size(), 10000u);
  EXPECT_EQ(parts.front(), "\n0");
  EXPECT_EQ(parts.back(), "\n9999");
}

TEST(PartWalk, StopsAtAnEmptyPartOrMissingDelimiter) {
  auto parts = parts_of("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n--b\r\nx\r\n--b--\r\n");
  EXPECT_TRUE(parts.empty());
  parts = parts_of("Content-Type: multipart/mixed; boundary=b\r\n\r\nno delimiter here\r\n");
  EXPECT_TRUE(parts.empty());
  // A visitor can stop early.
  std::string m = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n1\r\n--b\r\n\r\n2\r\n--b--\r\n";
  mime_part p;
  part_parse_headers(&p, m.data(), m.size());
  int n = 0;
  part_walk(p, [&](const char *, std::uint64_t) { return ++n < 1; });
  EXPECT_EQ(n, 1);
}

namespace {
// A leaf attachment under depth containers.
std::string nested(int depth) {
  std::string m;
  for (int i = 0; i < depth; ++i) {
    std::string b = "b" + std::to_string(i) + "x";  // no boundary prefixes another
    m += "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n";
  }
  m += "Content-Type: image/png\r\n\r\nPNG";
  for (int i = depth - 1; i >= 0; --i) m += "\r\n--b" + std::to_string(i) + "x--\r\n";
  return m;
}

std::vector<std::string> leaf_types(const std::string &m) {
  std::vector<std::string> out;
  leaf_walk(m.data(), m.size(), [&](const mime_part &p) {
    out.emplace_back(p.ctype);
    return true;
  });
  return out;
}
}  // namespace

TEST(LeafWalk, DepthFirstInDocumentOrder) {
  std::string m =
      "Content-Type: multipart/mixed; boundary=o\r\n\r\n"
      "--o\r\nContent-Type: multipart/alternative; boundary=i\r\n\r\n"
      "--i\r\nContent-Type: text/plain\r\n\r\np\r\n--i\r\nContent-Type: text/html\r\n\r\nh\r\n--i--\r\n"
      "\r\n--o\r\nContent-Type: application/pdf\r\n\r\nPDF\r\n--o--\r\n";
  EXPECT_EQ(leaf_types(m), (std::vector<std::string>{"text/plain", "text/html", "application/pdf"}));
  // A single part is its own leaf.
  EXPECT_EQ(leaf_types("Content-Type: application/pdf\r\n\r\nx"), std::vector<std::string>{"application/pdf"});
}

TEST(LeafWalk, NestingIsBounded) {
  EXPECT_EQ(leaf_types(nested(k_max_nesting)), std::vector<std::string>{"image/png"});
  EXPECT_TRUE(leaf_types(nested(k_max_nesting + 1)).empty());
  // Far deeper than any stack would survive unbounded.
  EXPECT_TRUE(leaf_types(nested(100000)).empty());
}

TEST(LeafWalk, AttachmentUnderAnOuterBoundaryThatPrefixesTheInnerOneIsListed) {
  std::string m =
      "Content-Type: multipart/mixed; boundary=X\r\n\r\n"
      "--X\r\nContent-Type: multipart/mixed; boundary=X2\r\n\r\n"
      "--X2\r\nContent-Type: text/plain\r\n\r\np\r\n"
      "--X2\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=a.pdf\r\n\r\nPDF\r\n"
      "--X2--\r\n--X--\r\n";
  std::vector<kq::attachment_info> atts = kq::list_attachments(m.data(), m.size());
  ASSERT_EQ(atts.size(), 1u);
  EXPECT_EQ(atts[0].name, "a.pdf");
}

TEST(LeafWalk, MegabyteHeaderLineIsCutNotLost) {
  std::string m = "Content-Type: text/html; name=" + std::string(1 << 20, 'n') +
                  "\r\nSubject: " + std::string(1 << 20, 's') + "\r\n\r\n<p>x</p>";
  std::vector<std::string> types = leaf_types(m);
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0].rfind("text/html; name=nnn", 0), 0u);
  EXPECT_LT(types[0].size(), sizeof(kq::mime_part::ctype));
}
