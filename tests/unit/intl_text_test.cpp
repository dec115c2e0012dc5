// Text in every language: UTF-8 sequences, letter case beyond ASCII, RFC 2047
// encoded words, RFC 2231 parameters and IMAP's modified UTF-7.
#include <gtest/gtest.h>

#include <string>

#include "base/casefold.h"
#include "base/encoded_words.h"
#include "base/mime_params.h"
#include "base/mutf7.h"
#include "base/utf8.h"
#include "support/platform/os.h"

using namespace kq;

namespace {
std::string param(const char *value, const char *name) {
  std::string out;
  return mime_param(value, name, out) ? out : "<absent>";
}
}  // namespace

TEST(Utf8, SequencesAndCuts) {
  char32_t cp = 0;
  EXPECT_EQ(utf8_seq("\xc3\xa9", 0, &cp), 2u);
  EXPECT_EQ(cp, 0xE9u);
  EXPECT_EQ(utf8_seq("\xf0\x9f\x98\x80", 0, &cp), 4u);
  EXPECT_EQ(cp, 0x1F600u);
  EXPECT_EQ(utf8_seq("\xc0\xaf", 0), 0u);      // overlong '/'
  EXPECT_EQ(utf8_seq("\xed\xa0\x80", 0), 0u);  // surrogate
  EXPECT_EQ(utf8_seq("\xe2\x82", 0), 0u);      // cut short
  std::string s;
  for (char32_t c : {0x41u, 0xE9u, 0x20ACu, 0x1F600u}) utf8_put(s, c);
  EXPECT_EQ(s, "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  // "aé€": a cut never ends inside a character.
  std::string t = "a\xc3\xa9\xe2\x82\xac";
  EXPECT_EQ(utf8_prefix(t, 2), 1u);
  EXPECT_EQ(utf8_prefix(t, 3), 3u);
  EXPECT_EQ(utf8_prefix(t, 5), 3u);
  EXPECT_EQ(utf8_prefix(t, 99), 6u);
  EXPECT_EQ(utf8_prefix("a\xff\xfe", 2), 2u);  // stray bytes are characters of their own
  EXPECT_TRUE(utf8_valid(t));
  EXPECT_FALSE(utf8_valid("a\xe9"));
}

TEST(CaseFold, LatinGreekCyrillic) {
  EXPECT_EQ(fold_case("\xc3\x9c" "BER"), "\xc3\xbc" "ber");                    // ÜBER
  EXPECT_EQ(fold_case("A\xc3\x91O"), "a\xc3\xb1o");                            // AÑO
  EXPECT_EQ(fold_case("\xc5\x81\xc3\x93\xc5\xbb"), "\xc5\x82\xc3\xb3\xc5\xbc");  // ŁÓŻ
  EXPECT_EQ(fold_char(0x178), 0xFFu);                                          // Ÿ
  EXPECT_EQ(fold_char(0x1E9E), 0xDFu);                                         // ẞ
  EXPECT_EQ(fold_char(0x00D7), 0xD7u);  // × sits among the capitals but is no letter
  // ΣΟΦΊΑ, and final sigma matches sigma.
  EXPECT_EQ(fold_case("\xce\xa3\xce\x9f\xce\xa6\xce\x8a\xce\x91"),
            "\xcf\x83\xce\xbf\xcf\x86\xce\xaf\xce\xb1");
  EXPECT_EQ(fold_char(0x3C2), 0x3C3u);
  // ПРИВЕТ, Ё, Ї (Ukrainian), Ґ.
  EXPECT_EQ(fold_case("\xd0\x9f\xd0\xa0\xd0\x98\xd0\x92\xd0\x95\xd0\xa2"),
            "\xd0\xbf\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  EXPECT_EQ(fold_char(0x401), 0x451u);
  EXPECT_EQ(fold_char(0x407), 0x457u);
  EXPECT_EQ(fold_char(0x490), 0x491u);
  EXPECT_EQ(fold_char(0x4E9), 0x4E9u);  // already small
  EXPECT_EQ(fold_char(0xFF21), 0xFF41u);
  EXPECT_EQ(fold_char(0x4E2D), 0x4E2Du);  // no case
}

TEST(CaseFold, ContainsBeyondAsciiAndBytewiseForInvalidText) {
  EXPECT_TRUE(contains_nocase("\xc3\x9c" "ber die Preise", "\xc3\xbc" "ber"));
  EXPECT_TRUE(contains_nocase("M\xc3\xbcller", "M\xc3\x9cLLER"));
  EXPECT_TRUE(contains_nocase("\xd0\x9e\xd0\xa2\xd0\xa7\xd0\x81\xd0\xa2", "\xd1\x91\xd1\x82"));
  EXPECT_FALSE(contains_nocase("uber", "\xc3\xbc" "ber"));
  EXPECT_TRUE(contains_nocase("anything", ""));
  EXPECT_FALSE(contains_nocase("", "a"));
  // Latin-1 bytes are not UTF-8: only the same bytes match, ASCII still folds.
  EXPECT_TRUE(contains_nocase("J\xfcrgen", "J\xfcRGEN"));
  EXPECT_FALSE(contains_nocase("J\xfcrgen", "J\xdcrgen"));
}

TEST(EncodedWords, RfcExamples) {
  // RFC 2047, section 8.
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?="), "a");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?= b"), "a b");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?="), "ab");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?="), "ab");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?=\r\n   =?ISO-8859-1?Q?b?="), "ab");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a_b?="), "a b");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?="), "a b");
  EXPECT_EQ(decode_encoded_words("=?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>"),
            "Keith Moore <moore@cs.utk.edu>");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>"),
            "Andr\xc3\xa9 Pirard <PIRARD@vm1.ulg.ac.be>");
  EXPECT_EQ(decode_encoded_words("=?ISO-8859-1?B?SWYgeW91IGNhbiByZWFkIHRoaXMgeW8=?= "
                                 "=?ISO-8859-2?B?dSB1bmRlcnN0YW5kIHRoZSBleGFtcGxlLg==?="),
            "If you can read this you understand the example.");
  // RFC 2231 language suffix.
  EXPECT_EQ(decode_encoded_words("=?US-ASCII*EN?Q?Keith_Moore?="), "Keith Moore");
}

TEST(EncodedWords, StatefulCharset) {
  if (kqtest::platform::under_wine()) GTEST_SKIP() << "Wine has no ISO-2022-JP code page (50220)";
  // ISO-2022-JP "日本語" with its escape sequences.
  EXPECT_EQ(decode_encoded_words("=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?="),
            "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
}

TEST(EncodedWords, Charsets) {
  EXPECT_EQ(decode_encoded_words("=?utf-8?q?=C3=9Cber_die_Preise_f=C3=BCr?="),
            "\xc3\x9c" "ber die Preise f\xc3\xbcr");
  EXPECT_EQ(decode_encoded_words("=?UTF-8?B?0J/RgNC40LLQtdGC?="),
            "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  // Windows-1252 has the euro sign where ISO-8859-1 has a control.
  EXPECT_EQ(decode_encoded_words("=?windows-1252?Q?=80_5?="), "\xe2\x82\xac 5");
  // KOI8-R "Привет".
  EXPECT_EQ(decode_encoded_words("=?KOI8-R?B?8NLJ18XU?="),
            "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  // A UTF-8 character split over two words joins again.
  EXPECT_EQ(decode_encoded_words("=?UTF-8?Q?caf=C3?= =?UTF-8?Q?=A9?="), "caf\xc3\xa9");
}

TEST(EncodedWords, BadWordsStayAsWritten) {
  for (const char *s : {"=?UTF-8?B?not*base64?= tail", "=?UTF-8?Q?open", "=?x-unknown-cs?Q?a?=",
                        "=?UTF-8?X?abc?=", "=?UTF-8?Q?=ZZ?=", "=?UTF-8?Q?=C3?=",
                        "plain text", "a =? b ?= c", "=??Q?a?="})
    EXPECT_EQ(decode_encoded_words(s), s) << s;
  // A bad word keeps the space next to it; its good neighbours decode.
  EXPECT_EQ(decode_encoded_words("=?UTF-8?Q?a?= =?bogus-cs?Q?b?= =?UTF-8?Q?c?="),
            "a =?bogus-cs?Q?b?= c");
  EXPECT_EQ(decode_encoded_words("x =?UTF-8?Q?a?= y"), "x a y");
  // A run in one charset that does not convert as a whole falls back word by word.
  EXPECT_EQ(decode_encoded_words("=?UTF-8?Q?ok?= =?UTF-8?Q?=FF?="), "ok =?UTF-8?Q?=FF?=");
}

TEST(MimeParams, PlainQuotedAndEncodedWords) {
  EXPECT_EQ(param("attachment; filename=report.pdf", "filename"), "report.pdf");
  EXPECT_EQ(param("attachment; FileName = \"a; b \\\"c\\\".txt\"; size=3", "filename"),
            "a; b \"c\".txt");
  EXPECT_EQ(param("attachment; size=3", "filename"), "<absent>");
  EXPECT_EQ(param("attachment; filename=\"C:\\Users\\a.txt\"", "filename"), "C:\\Users\\a.txt");
  EXPECT_EQ(param("attachment; xfilename=a", "filename"), "<absent>");
  EXPECT_EQ(param("text/plain; charset=\"ISO-8859-1\"", "charset"), "ISO-8859-1");
  EXPECT_EQ(param("application/pdf; name=\"=?UTF-8?B?w5xiZXJzaWNodC5wZGY=?=\"", "name"),
            "\xc3\x9c" "bersicht.pdf");
  EXPECT_EQ(param("attachment; filename=\"=?iso-8859-1?Q?M=FCller.txt?=\"", "filename"),
            "M\xc3\xbcller.txt");
}

TEST(MimeParams, Rfc2231ValuesAndContinuations) {
  // RFC 2231 sections 3 and 4.
  EXPECT_EQ(param("message/external-body; access-type=URL; "
                  "URL*0=\"ftp://\"; URL*1=\"cs.utk.edu/pub/moore/bulk-mailer/bulk-mailer.tar\"",
                  "url"),
            "ftp://cs.utk.edu/pub/moore/bulk-mailer/bulk-mailer.tar");
  EXPECT_EQ(param("application/x-stuff; title*=us-ascii'en-us'This%20is%20%2A%2A%2Afun%2A%2A%2A",
                  "title"),
            "This is ***fun***");
  EXPECT_EQ(param("application/x-stuff; title*0*=us-ascii'en'This%20is%20even%20more%20; "
                  "title*1*=%2A%2A%2Afun%2A%2A%2A%20; title*2=\"isn't it!\"",
                  "title"),
            "This is even more ***fun*** isn't it!");
  // Segments out of order, a charset to convert, and the extended form
  // preferred over the plain one whichever comes first.
  EXPECT_EQ(param("attachment; filename=\"fallback.pdf\"; filename*1*=%E9.pdf; "
                  "filename*0*=iso-8859-1''r%E9sum",
                  "filename"),
            "r\xc3\xa9sum\xc3\xa9.pdf");
  EXPECT_EQ(param("attachment; filename*=UTF-8''%D0%BE%D1%82%D1%87%D1%91%D1%82.docx; "
                  "filename=otchet.docx",
                  "filename"),
            "\xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82.docx");
  EXPECT_EQ(param("attachment; filename*=koi8-r''%EF%D4%DE%C5%D4.txt", "filename"),
            "\xd0\x9e\xd1\x82\xd1\x87\xd0\xb5\xd1\x82.txt");
  // Unknown charset: the bytes as they decoded. A gap ends the value.
  EXPECT_EQ(param("attachment; filename*=x-nope''a%41", "filename"), "aA");
  EXPECT_EQ(param("attachment; filename*0=\"a\"; filename*2=\"c\"", "filename"), "a");
  // Without segment 0 the plain value counts.
  EXPECT_EQ(param("attachment; filename*1=\"b\"; filename=p.txt", "filename"), "p.txt");
}

TEST(ModifiedUtf7, Rfc3501ExampleAndRoundTrips) {
  std::string out;
  ASSERT_TRUE(mutf7_decode("~peter/mail/&U,BTFw-/&ZeVnLIqe-", out));
  EXPECT_EQ(out, "~peter/mail/\xe5\x8f\xb0\xe5\x8c\x97/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
  EXPECT_EQ(mutf7_encode(out), "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
  ASSERT_TRUE(mutf7_decode("Entw&APw-rfe", out));
  EXPECT_EQ(out, "Entw\xc3\xbcrfe");
  EXPECT_EQ(mutf7_encode("Entw\xc3\xbcrfe"), "Entw&APw-rfe");
  ASSERT_TRUE(mutf7_decode("Tom &- Jerry", out));
  EXPECT_EQ(out, "Tom & Jerry");
  EXPECT_EQ(mutf7_encode("Tom & Jerry"), "Tom &- Jerry");
  // Outside the BMP: a surrogate pair.
  std::string emoji = "\xf0\x9f\x98\x80";
  ASSERT_TRUE(mutf7_decode(mutf7_encode(emoji), out));
  EXPECT_EQ(out, emoji);
  // "Почта" and "Ελληνικά" survive the trip.
  for (const char *s : {"\xd0\x9f\xd0\xbe\xd1\x87\xd1\x82\xd0\xb0",
                        "\xce\x95\xce\xbb\xce\xbb\xce\xb7\xce\xbd\xce\xb9\xce\xba\xce\xac"}) {
    ASSERT_TRUE(mutf7_decode(mutf7_encode(s), out)) << s;
    EXPECT_EQ(out, s);
  }
}

TEST(ModifiedUtf7, MalformedNamesAreNotDecoded) {
  std::string out;
  for (const char *bad : {"A&B", "a&AP", "Entw\xc3\xbcrfe", "&2D0-", "&AP*-", "&APw"})
    EXPECT_FALSE(mutf7_decode(bad, out)) << bad;
  EXPECT_EQ(folder_display_name("A&B"), "A&B");
  EXPECT_EQ(folder_display_name("Entw&APw-rfe"), "Entw\xc3\xbcrfe");
}

TEST(ModifiedUtf7, WireNameTakesEitherForm) {
  EXPECT_EQ(folder_wire_name("INBOX"), "INBOX");
  EXPECT_EQ(folder_wire_name("Entw&APw-rfe"), "Entw&APw-rfe");
  EXPECT_EQ(folder_wire_name("Entw\xc3\xbcrfe"), "Entw&APw-rfe");
  EXPECT_EQ(folder_wire_name("Archive/Entw\xc3\xbcrfe"), "Archive/Entw&APw-rfe");
  EXPECT_EQ(folder_wire_name("Tom & Jerry"), "Tom &- Jerry");
  EXPECT_EQ(folder_wire_name("Tom &- Jerry"), "Tom &- Jerry");
}
