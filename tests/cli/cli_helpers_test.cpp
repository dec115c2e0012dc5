// The command-line tool's own text handling: reading the library's JSON,
// writing JSON for it, and making header texts safe and readable on a terminal.
#include <gtest/gtest.h>

#include <string>

#include "format.h"
#include "json.h"

using namespace kqcli;

TEST(CliJson, ReadsTheLibraryShapes) {
  jvalue v;
  ASSERT_TRUE(json_parse(
      R"([{"name":"Projects/2024","count":30,"uid_min":1,"uid_max":30,"oldest":""},{"name":"a\"b","count":0}])",
      v));
  ASSERT_EQ(v.type, jvalue::array);
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[0]["name"].as_str(), "Projects/2024");
  EXPECT_EQ(v.items[0]["count"].as_int(), 30);
  EXPECT_EQ(v.items[1]["name"].as_str(), "a\"b");
  EXPECT_EQ(v.items[1]["missing"].type, jvalue::null);
  EXPECT_EQ(v.items[1]["missing"].as_int(7), 7);

  ASSERT_TRUE(json_parse(R"({"attachment_pct":42.9,"eta_s":-1,"ok":true,"n":null})", v));
  EXPECT_DOUBLE_EQ(v["attachment_pct"].num, 42.9);
  EXPECT_EQ(v["eta_s"].as_int(), -1);
  EXPECT_EQ(v["ok"].type, jvalue::boolean);
  // A text where a number belongs reads as the default, not as garbage.
  ASSERT_TRUE(json_parse(R"({"count":"12"})", v));
  EXPECT_EQ(v["count"].as_int(3), 3);
}

TEST(CliJson, DecodesEscapesToUtf8AndKeepsRawBytes) {
  jvalue v;
  ASSERT_TRUE(json_parse(R"(["a\\b\/c\n\t", "\u00fc\u20ac", "\ud83d\ude00", "x\u0001y"])", v));
  EXPECT_EQ(v.items[0].str, "a\\b/c\n\t");
  EXPECT_EQ(v.items[1].str, "\xC3\xBC\xE2\x82\xAC");
  EXPECT_EQ(v.items[2].str, "\xF0\x9F\x98\x80");
  EXPECT_EQ(v.items[3].str, std::string("x\x01y"));
  // Bytes that are not UTF-8 stand in the text as they came.
  ASSERT_TRUE(json_parse("[\"Gr\xFC\xDF\"]", v));
  EXPECT_EQ(v.items[0].str, "Gr\xFC\xDF");
}

TEST(CliJson, RefusesWhatIsNotOneValue) {
  jvalue v;
  for (const char *bad : {"", "{", "[1,]", "{\"a\" 1}", "[1] x", "\"open", "[\"\\x\"]", "{\"a\":1,}",
                          "[\"\\u12\"]", "tru", "[01x]"}) {
    EXPECT_FALSE(json_parse(bad, v)) << bad;
    EXPECT_EQ(v.type, jvalue::null) << bad;
  }
  std::string deep(200, '[');
  deep += std::string(200, ']');
  EXPECT_FALSE(json_parse(deep, v)) << "nesting is bounded";
}

TEST(CliJson, WritesEscapedTextsThatReadBack) {
  const std::string nasty = "pa\"ss\\w\x01rd\nx\x7F \xC3\xB6";
  json_object o;
  o.str("pass", nasty).num("port", 993).raw("list", "[1,2]");
  std::string text = o.text();
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\x01'), std::string::npos);
  jvalue v;
  ASSERT_TRUE(json_parse(text, v)) << text;
  EXPECT_EQ(v["pass"].as_str(), nasty);
  EXPECT_EQ(v["port"].as_int(), 993);
  EXPECT_EQ(v["list"].items.size(), 2u);
}

TEST(CliFormat, DecodesEncodedWords) {
  EXPECT_EQ(decode_words("=?UTF-8?B?w5xiZXIgZGllIFByZWlzZQ==?="), "\xC3\x9C" "ber die Preise");
  EXPECT_EQ(decode_words("=?utf-8?q?Caf=C3=A9_menu?="), "Caf\xC3\xA9 menu");
  EXPECT_EQ(decode_words("=?ISO-8859-1?Q?J=FCrgen?= <j@example.de>"), "J\xC3\xBCrgen <j@example.de>");
  // Blanks between two encoded words vanish; other text around them stays.
  EXPECT_EQ(decode_words("=?UTF-8?Q?a?= =?UTF-8?Q?b?= c =?UTF-8?Q?d?="), "ab c d");
  // Unknown charsets and broken words are shown as they are.
  EXPECT_EQ(decode_words("=?KOI8-R?B?8NLJ18XU?="), "=?KOI8-R?B?8NLJ18XU?=");
  EXPECT_EQ(decode_words("=?UTF-8?B?not*base64?= tail"), "=?UTF-8?B?not*base64?= tail");
  EXPECT_EQ(decode_words("=?UTF-8?Q?open"), "=?UTF-8?Q?open");
  EXPECT_EQ(decode_words("plain text"), "plain text");
}

TEST(CliFormat, KeepsTerminalControlOutOfTheOutput) {
  const std::string hostile = "Subject \x1b]0;owned\x07 and \x1b[2J\r\nnext\tcol";
  std::string line = printable(hostile, false);
  EXPECT_EQ(line.find('\x1b'), std::string::npos);
  EXPECT_EQ(line.find('\x07'), std::string::npos);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  std::string body = printable(hostile, true);
  EXPECT_EQ(body.find('\x1b'), std::string::npos);
  EXPECT_NE(body.find("\nnext\tcol"), std::string::npos);
  EXPECT_EQ(header_display("  =?UTF-8?Q?a\x1b?=   b  "), "a? b");
}

TEST(CliFormat, WidthsCountCharactersNotBytes) {
  EXPECT_EQ(text_width("J\xC3\xBCrgen"), 6u);
  EXPECT_EQ(fit("J\xC3\xBCrgen M\xC3\xBCller", 6), "J\xC3\xBCrge\xE2\x80\xA6");
  EXPECT_EQ(fit("short", 10), "short");
  EXPECT_EQ(pad("\xC3\xBC", 3), "\xC3\xBC  ");
  EXPECT_EQ(pad_left("7", 3), "  7");
  EXPECT_EQ(text_width(pad("a very long text", 5)), 5u);
}

TEST(CliFormat, NumbersDatesAndShellWords) {
  EXPECT_EQ(human_bytes(999), "999 B");
  EXPECT_EQ(human_bytes(1234567), "1.2 MB");
  EXPECT_EQ(human_bytes(-5), "0 B");
  EXPECT_EQ(human_duration(42), "0:42");
  EXPECT_EQ(human_duration(3725), "1:02:05");
  EXPECT_EQ(short_date("17-Jul-1996 02:44:25 -0700"), "1996-07-17 02:44");
  EXPECT_EQ(short_date(" 3-Jan-2024 09:05:00 +0200"), "2024-01-03 09:05");
  EXPECT_EQ(short_date("17-Foo-1996 02:44:25 -0700"), "17-Foo-1996 02:44:25 -0700");
  EXPECT_EQ(to_ll("123"), 123);
  EXPECT_EQ(to_ll(""), 0);
  EXPECT_EQ(shell_word("INBOX"), "INBOX");
  EXPECT_EQ(shell_word("Projects/2024"), "Projects/2024");
  EXPECT_EQ(shell_word("Old Stuff"), "'Old Stuff'");
  EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
  EXPECT_EQ(shell_word(""), "''");
}

TEST(CliFormat, RecoveryCountsNameOnlyWhatHappened) {
  // A library that does not report the counts reads as 0 and 0.
  jvalue stats;
  ASSERT_TRUE(json_parse(R"({"done":3,"total":3})", stats));
  EXPECT_EQ(recovery_counts(stats["retries"].as_int(), stats["reconnects"].as_int()), "");
  const struct {
    long long retries, reconnects;
    const char *text;
  } cases[] = {
      {0, 0, ""}, {1, 0, "1 retry"}, {0, 2, "2 reconnects"}, {3, 1, "3 retries, 1 reconnect"},
  };
  for (const auto &c : cases) EXPECT_EQ(recovery_counts(c.retries, c.reconnects), c.text) << c.text;
}
