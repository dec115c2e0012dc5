// The response reader and the FETCH item parser: records split anywhere in
// the byte stream, literals kept per record, items in any order.
#include <gtest/gtest.h>

#include <string>

#include "connection/fetch_data.h"
#include "connection/response.h"

using namespace kq;

namespace {

// Feeds text in pieces of `step` bytes; returns the responses read.
std::vector<response> read_all(const std::string &text, std::size_t step, std::string *error = nullptr) {
  response_parser p;
  std::vector<response> out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t n = std::min(step, text.size() - i);
    std::size_t used = 0;
    while (used < n) {
      used += p.feed(text.data() + i + used, n - used);
      if (!p.error().empty()) {
        if (error) *error = p.error();
        return out;
      }
      if (p.ready()) out.push_back(p.take());
    }
    i += n;
  }
  return out;
}

}  // namespace

TEST(ResponseParser, LiteralsSplitAcrossReadsStayWithTheirRecord) {
  std::string text =
      "* 1 FETCH (UID 7 BODY[] {5}\r\nab\r\nc FLAGS ())\r\n"
      "* 2 FETCH (UID 8 BODY[HEADER] {3}\r\nxyz BODY[TEXT] {2}\r\n12)\r\n"
      "A1 OK done\r\n";
  for (std::size_t step : {1u, 2u, 7u, 4096u}) {
    std::vector<response> rs = read_all(text, step);
    ASSERT_EQ(rs.size(), 3u) << step;
    EXPECT_EQ(rs[0].line, "* 1 FETCH (UID 7 BODY[] {5} FLAGS ())");
    ASSERT_EQ(rs[0].literals.size(), 1u);
    EXPECT_EQ(rs[0].literals[0], "ab\r\nc");
    // Both literals of one record survive, not only the last.
    ASSERT_EQ(rs[1].literals.size(), 2u);
    EXPECT_EQ(rs[1].literals[0], "xyz");
    EXPECT_EQ(rs[1].literals[1], "12");
    EXPECT_EQ(rs[2].line, "A1 OK done");
  }
}

TEST(ResponseParser, BareLfEndsALineAndEmptyLiteralIsKept) {
  std::vector<response> rs = read_all("* OK hi\n* 3 FETCH (BODY[] {0}\r\n)\r\n", 3);
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_EQ(rs[0].line, "* OK hi");
  ASSERT_EQ(rs[1].literals.size(), 1u);
  EXPECT_EQ(rs[1].literals[0], "");
}

TEST(ResponseParser, OversizedLiteralAndEndlessLineAreErrors) {
  std::string err;
  read_all("* 1 FETCH (BODY[] {2147483648}\r\nabc", 64, &err);
  EXPECT_EQ(err, "literal too large");
  err.clear();
  // Ten digits or more is never a size this reader accepts.
  read_all("* 1 FETCH (BODY[] {99999999999}\r\n", 64, &err);
  EXPECT_EQ(err, "literal too large");
  err.clear();
  std::string endless(response_parser::k_line_max + 10, 'x');
  read_all(endless, 1 << 20, &err);
  EXPECT_EQ(err, "response line too long");
}

TEST(FetchData, ItemsInAnyOrder) {
  std::vector<response> rs = read_all(
      "* 3 FETCH (RFC822.SIZE 1234 INTERNALDATE \" 7-Jul-2024 09:05:00 +0200\" "
      "BODY[HEADER.FIELDS (FROM TO)] {4}\r\nF: x FLAGS (\\Seen) UID 41)\r\n",
      5);
  ASSERT_EQ(rs.size(), 1u);
  fetch_data f;
  ASSERT_TRUE(parse_fetch(rs[0], f));
  EXPECT_EQ(f.seq, 3);
  EXPECT_TRUE(f.has_uid);
  EXPECT_EQ(f.uid, 41u);
  EXPECT_EQ(f.size, 1234);
  EXPECT_EQ(f.internaldate, " 7-Jul-2024 09:05:00 +0200");
  const fetch_data::section *h = f.find("HEADER");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->name, "BODY[HEADER.FIELDS (FROM TO)]");
  EXPECT_EQ(h->bytes, "F: x");
}

TEST(FetchData, UidRulesAndOtherRecords) {
  fetch_data f;
  response r;
  r.line = "* 5 FETCH (UID 4294967296 RFC822.SIZE 1)";  // above 32 bits: no UID
  EXPECT_FALSE(parse_fetch(r, f));
  r.line = "* 5 FETCH (XUID 3 UID 18)";  // an unknown item is skipped, not read as UID
  ASSERT_TRUE(parse_fetch(r, f));
  EXPECT_EQ(f.uid, 18u);
  r.line = "* 5 EXPUNGE";
  EXPECT_FALSE(parse_fetch(r, f));
  r.line = "* 5 FETCH (BODY[] NIL UID 2)";
  ASSERT_TRUE(parse_fetch(r, f));
  ASSERT_NE(f.find("]"), nullptr);
  EXPECT_TRUE(f.find("]")->nil);
}
