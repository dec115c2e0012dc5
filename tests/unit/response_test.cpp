// The response reader and the FETCH item parser: records split anywhere in
// the byte stream, literals kept per record, items in any order.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
  EXPECT_TRUE(f.has_flags);
  EXPECT_EQ(f.flags, std::vector<std::string>{"\\Seen"});
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
  r.line = "* 5 FETCH (UID 2 FLAGS ())";  // no flags is not the same as no FLAGS item
  ASSERT_TRUE(parse_fetch(r, f));
  EXPECT_TRUE(f.has_flags);
  EXPECT_TRUE(f.flags.empty());
  r.line = "* 5 FETCH (UID 2 FLAGS (\\Seen $Label1 \\Flagged))";
  ASSERT_TRUE(parse_fetch(r, f));
  EXPECT_EQ(f.flags, (std::vector<std::string>{"\\Seen", "$Label1", "\\Flagged"}));
  r.line = "* 5 FETCH (UID 2 FLAGS \\Seen)";  // FLAGS is always a list
  EXPECT_FALSE(parse_fetch(r, f));
  r.line = "* 5 FETCH (BODY[] NIL UID 2)";
  ASSERT_TRUE(parse_fetch(r, f));
  ASSERT_NE(f.find("]"), nullptr);
  EXPECT_TRUE(f.find("]")->nil);
}

TEST(FetchWalk, UidComesOnlyFromItsOwnItem) {
  struct row {
    const char *text;
    fetch_walk want;
    std::uint32_t uid;
  };
  const row rows[] = {
      {"* 1 FETCH (UID 7 FLAGS ())\r\n", fetch_walk::ok, 7},
      {"* 1 FETCH (flags (\\Seen) uid 7)\r\n", fetch_walk::ok, 7},
      // "UID 1500" inside other items' values is text, not the item.
      {"* 1 FETCH (BODYSTRUCTURE (\"application\" \"pdf\" (\"name\" \"x UID 1500.pdf\") NIL NIL "
       "\"base64\" 10) UID 9)\r\n",
       fetch_walk::ok, 9},
      {"* 1 FETCH (BODY[HEADER] {13}\r\nUID 1500 (\"\r\n UID 3)\r\n", fetch_walk::ok, 3},
      {"* 1 FETCH (X-GM-LABELS (\"\\\\Inbox\" \"a \\\"UID 4\\\"\") MODSEQ (12345) UID 4)\r\n", fetch_walk::ok, 4},
      {"* 1 FETCH (BODY[] NIL UID 2 BODY[HEADER] \"q\" X-THING (a (b (c))))\r\n", fetch_walk::ok, 2},
      {"* 1 FETCH (FLAGS (\\Seen))\r\n", fetch_walk::ok, 0},
      {"* 1 FETCH (UID 5 UID 5)\r\n", fetch_walk::ok, 5},
      {"* 1 FETCH (UID)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (UID 5x)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (UID 0)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (UID 4294967296)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (UID 5 UID 6)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH UID 5\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (UID 5\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (FLAGS (\\Seen UID 5)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (FLAGS)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (\"UID\" 5)\r\n", fetch_walk::malformed, 0},
      {"* 1 FETCH (BODY[] \"open UID 5)\r\n", fetch_walk::malformed, 0},
      // Braces in the text that were no literal would shift the real ones.
      {"* 1 FETCH (X-A {3} UID 5)\r\n", fetch_walk::malformed, 0},
      {"* 1 EXPUNGE\r\n", fetch_walk::not_fetch, 0},
      {"* OK [UIDNEXT 5] UID 5\r\n", fetch_walk::not_fetch, 0},
  };
  for (const row &c : rows) {
    SCOPED_TRACE(c.text);
    std::vector<response> rs = read_all(c.text, 4096);
    ASSERT_EQ(rs.size(), 1u);
    std::uint32_t uid = 99;
    EXPECT_EQ(walk_fetch(rs[0], uid), c.want);
    if (c.want == fetch_walk::ok) {
      EXPECT_EQ(uid, c.uid);
    }
    EXPECT_EQ(fetch_uid(rs[0], uid), c.want == fetch_walk::ok && c.uid != 0);
  }
}

TEST(ResponseParser, GrammarAfterLiteralsAndNulBytes) {
  const std::string after = "protocol error: unexpected data after a literal";
  const std::string nul = "protocol error: NUL byte in a response line";
  struct row {
    std::string text;
    std::string error;               // "" when it reads cleanly
    std::vector<std::string> lines;  // what was handed on before any error
  };
  const row rows[] = {
      {"* 1 FETCH (BODY[] {3}\r\nabc)\r\n* 2 X {3}\r\nabc\r\n* 3 X {3}\r\nabc UID 5)\r\n", "",
       {"* 1 FETCH (BODY[] {3})", "* 2 X {3}", "* 3 X {3} UID 5)"}},
      {"* 1 FETCH (BODY[] {0}\r\n UID 5)\r\n", "", {"* 1 FETCH (BODY[] {0} UID 5)"}},
      // Fewer bytes than announced: the next record's text ends the literal
      // early and what follows it is no SP, ")" or CRLF.
      {"* 1 FETCH (BODY[] {10}\r\nabc)\r\n* 2 FETCH (UID 5)\r\nA1 OK\r\n", after, {}},
      {"* OK before\r\n* 1 FETCH (BODY[] {3}\r\nabcd)\r\n", after, {"* OK before"}},
      {"* 1 FETCH (BODY[] {3}\r\nabc\rX)\r\n", after, {}},
      {std::string("* 1 FETCH (BODY[] {3}\r\nabc\0)\r\n", 30), after, {}},
      // NUL octets between responses are padding; inside a line, an error.
      {std::string("\0\0* 5 FETCH (UID 5)\r\n\0* OK b\r\n", 30), "", {"* 5 FETCH (UID 5)", "* OK b"}},
      {std::string("* 1 FETCH (BODY[] {3}\r\na\0b)\r\n", 29), "", {"* 1 FETCH (BODY[] {3})"}},
      {std::string("* OK a\0b\r\n* OK c\r\n", 18), nul, {}},
      {std::string("* 1 X {1}\r\na UID\0 5\r\n", 21), nul, {}},
  };
  for (const row &c : rows) {
    for (std::size_t step : {std::size_t(1), std::size_t(4096)}) {
      SCOPED_TRACE(::testing::PrintToString(c.text) + " in steps of " + std::to_string(step));
      std::string err;
      std::vector<response> rs = read_all(c.text, step, &err);
      EXPECT_EQ(err, c.error);
      std::vector<std::string> lines;
      for (const response &r : rs) lines.push_back(r.line);
      EXPECT_EQ(lines, c.lines);
    }
  }
}
