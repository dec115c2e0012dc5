// Body text, attachment table and saving over messages installed as the
// fetched one directly: the cases no IMAP server delivers as such (bare LF,
// NUL bytes) and the rules' corners. Real messages go through Dovecot in the
// integration tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/result_rows.h"
#include "kerquill.h"
#include "message/attachments.h"
#include "message/fetched.h"
#include "platform/platform.h"
#include "search/search_table.h"
#include "support/links.h"
#include "support/platform/os.h"
#include "support/message_files.h"

using namespace kq;
using kqtest::message_fixture;
using kqtest::original_payload;
using kqtest::read_file;
using kqtest::tagged_scratch_dir;
namespace fs = std::filesystem;

namespace {

// Makes raw the fetched message, as kq_fetch leaves it after the download.
void hold(const std::string &raw) {
  std::unique_ptr<fetched_message> m = read_fetched(raw);
  ASSERT_TRUE(m);
  keep_fetched(std::move(m));
}

struct row {
  std::string name, ctype, size;
  bool operator==(const row &) const = default;
};
std::ostream &operator<<(std::ostream &o, const row &r) {
  return o << "{" << r.name << "|" << r.ctype << "|" << r.size << "}";
}
std::vector<row> rows() {
  std::vector<row> out;
  for (int i = 0; i < kq_attachment_count(); ++i)
    out.push_back({kq_attachment_field(nullptr, i, "name"), kq_attachment_field(nullptr, i, "ctype"),
                   kq_attachment_field(nullptr, i, "size")});
  return out;
}

std::string saved(const tagged_scratch_dir &d, int index, const std::string &file) {
  EXPECT_EQ(kq_attachment_save(nullptr, index, d.str().c_str()), 0) << kq_last_error();
  EXPECT_STREQ(kq_last_error(), "");
  return read_file(d.path() / file);
}

}  // namespace

TEST(BodyText, BareLfMessageWithFoldedHeaders) {
  hold(message_fixture("bare_lf.eml"));
  // The line feed before the next delimiter belongs to the delimiter.
  EXPECT_STREQ(kq_fetch_body_text(),
               "Written on a system whose lines end in a bare line feed, with a soft break.");
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"), "pixel.png");
  tagged_scratch_dir d("bare-lf");
  EXPECT_EQ(saved(d, 0, "pixel.png"), original_payload("pixel.png"));
}

TEST(BodyText, EndsAtTheFirstNul) {
  hold(message_fixture("nul_bytes.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), "before");
}

TEST(BodyText, FirstTextualPartWinsEvenWhenEmpty) {
  hold("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: image/gif\r\n\r\nGIF\r\n"
       "--b\r\nContent-Type: text/plain\r\n\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\nlater\r\n--b--\r\n");
  EXPECT_STREQ(kq_fetch_body_text(), "");
}

TEST(BodyText, PlaceholdersAndEmbeddedMessages) {
  hold("Content-Type: application/octet-stream\r\n\r\nraw bytes");
  EXPECT_STREQ(kq_fetch_body_text(), "[binary content: application/octet-stream]");
  hold("Content-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nhi");
  EXPECT_STREQ(kq_fetch_body_text(), "Subject: inner\r\n\r\nhi");
  // A container with no delimiter in its body has no body text.
  hold("Content-Type: multipart/mixed; boundary=zz\r\n\r\nno parts\r\n");
  EXPECT_STREQ(kq_fetch_body_text(), "");
}

TEST(BodyText, APartWithoutContentTypeIsPlainText) {
  struct {
    const char *what, *raw, *text;
  } cases[] = {
      {"a message", "Subject: none\r\n\r\nplain words", "plain words"},
      {"a message, transfer-encoded", "Content-Transfer-Encoding: quoted-printable\r\n\r\nsoft=\r\nbreak",
       "softbreak"},
      {"a part with no header at all",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nfirst\r\n--b--\r\n", "first"},
      {"a part after one that is not text",
       "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nContent-Type: image/gif\r\n\r\nGIF\r\n"
       "--b\r\nContent-Disposition: inline\r\n\r\nsecond\r\n--b--\r\n",
       "second"},
      // In a digest a part without a type is a message, shown as it stands.
      {"a part of a digest",
       "Content-Type: multipart/digest; boundary=d\r\n\r\n--d\r\n\r\nSubject: one\r\n\r\nbody\r\n--d--\r\n",
       "Subject: one\r\n\r\nbody"},
  };
  for (const auto &c : cases) {
    hold(c.raw);
    EXPECT_STREQ(kq_fetch_body_text(), c.text) << c.what;
  }
}

TEST(Attachments, AnUntypedDigestPartIsNamedAsAMessage) {
  hold("Content-Type: multipart/digest; boundary=d\r\n\r\n"
       "--d\r\nContent-Disposition: attachment\r\n\r\nSubject: one\r\n\r\nbody\r\n--d--\r\n");
  EXPECT_EQ(rows(), (std::vector<row>{{"attachment-0.eml", "", "20"}}));
}

TEST(BodyText, BrokenBase64HtmlKeepsWhatDecodedBeforeTheBadByte) {
  // "<b>ok</b> &amp; more" then a byte outside the alphabet.
  hold("Content-Type: text/html\r\nContent-Transfer-Encoding: base64\r\n\r\n"
       "PGI+b2s8L2I+ICZhbXA7IG1vcmU=\r\n!!!!\r\n");
  EXPECT_STREQ(kq_fetch_body_text(), " ok  & more");
}

TEST(Attachments, TheTest) {
  hold("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
       "--b\r\nContent-Disposition: attachment\r\n\r\nno type\r\n"
       "--b\r\nContent-Type: text/plain; name=x\r\nContent-Disposition: inline; filename=t.txt\r\n\r\nt\r\n"
       "--b\r\nContent-Type: message/rfc822\r\n\r\nSubject: inner\r\n\r\nx\r\n"
       "--b\r\nContent-Type: multipart/related\r\n\r\nno boundary\r\n"
       "--b\r\nContent-Type: application/zip\r\nContent-Disposition: inline\r\n\r\nPK\r\n"
       "--b\r\n\r\nno headers\r\n--b--\r\n");
  // Nameless parts are named from their row and type.
  EXPECT_EQ(rows(), (std::vector<row>{{"attachment-0.txt", "", "7"},
                                      {"t.txt", "text/plain; name=x", "1"},
                                      {"attachment-2.zip", "application/zip", "2"}}));
}

TEST(Attachments, FieldKeysAndRows) {
  hold(message_fixture("encodings.eml"));
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "Name"), "");
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "mime"), "");
  EXPECT_STREQ(kq_attachment_field(nullptr, -1, "name"), "");
  EXPECT_STREQ(kq_attachment_field(nullptr, 3, "name"), "");
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, nullptr), "");
  EXPECT_STREQ(kq_attachment_field("anything", 1, "name"), "notes.txt");
}

TEST(AttachmentSave, SafeFileNameRules) {
  auto safe = [](const char *n) { return safe_file_name(n); };
  EXPECT_EQ(safe("report.pdf"), "report.pdf");
  EXPECT_EQ(safe("a/b\\c.txt"), "c.txt");
  EXPECT_EQ(safe("dir/"), "attachment");
  EXPECT_EQ(safe("x/."), "attachment");
  // Windows would strip the final dot.
  EXPECT_EQ(safe("..."), kq::plat::windows_file_names() ? ".._" : "...");
  EXPECT_EQ(safe("a\x01\x7f:b"), "a___b");
  EXPECT_EQ(safe("caf\xc3\xa9.txt"), "caf\xc3\xa9.txt");
}

TEST(AttachmentSave, WindowsDeviceNamesAreRenamed) {
  for (const char *dev : {"con", "NUL", "aux.txt", "Prn.tar.gz", "com1", "LPT9.log", "con .txt"})
    EXPECT_EQ(safe_file_name(dev), std::string("_") + dev) << dev;
  for (const char *fine : {"console.txt", "com10", "com0", "lpt", "my.con", "nully"})
    EXPECT_EQ(safe_file_name(fine), fine) << fine;
}

TEST(AttachmentSave, LongNamesAreCutOnACharacterAndKeepTheirExtension) {
  // 200 two-byte letters: 400 bytes before ".pdf".
  std::string stem;
  for (int i = 0; i < 200; ++i) stem += "\xc3\xa9";
  std::string cut = safe_file_name(stem + ".pdf");
  EXPECT_LE(cut.size(), 255u);
  EXPECT_EQ(cut.size(), 254u);  // 125 letters + ".pdf": one more byte would split a letter
  EXPECT_EQ(cut.substr(cut.size() - 4), ".pdf");
  EXPECT_EQ(cut.substr(0, 250), stem.substr(0, 250));
  std::string numbered = numbered_file_name(cut, 12);
  EXPECT_LE(numbered.size(), 255u);
  EXPECT_EQ(numbered.substr(numbered.size() - 9), " (12).pdf");
  EXPECT_EQ(numbered_file_name("a.b.txt", 2), "a.b (2).txt");
  EXPECT_EQ(numbered_file_name("README", 3), "README (3)");
  EXPECT_EQ(numbered_file_name(".hidden", 2), ".hidden (2)");
}

TEST(Attachments, NamesDecodedFromRfc2231AndEncodedWords) {
  hold("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
       "--b\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment;\r\n"
       " filename*0*=UTF-8''%C3%9Cbersicht%20der%20Pr;\r\n filename*1*=%C3%BCfungen;\r\n"
       " filename*2=\".pdf\"\r\n\r\nPDF\r\n"
       "--b\r\nContent-Type: text/plain; name=\"=?KOI8-R?B?8NLJ18XU?=.txt\"\r\n"
       "Content-Disposition: attachment\r\n\r\nhi\r\n"
       "--b\r\nContent-Type: image/jpeg\r\n\r\nJPG\r\n"
       "--b\r\nContent-Type: application/x-unheard-of\r\n\r\n??\r\n--b--\r\n");
  ASSERT_EQ(kq_attachment_count(), 4);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"),
               "\xc3\x9c" "bersicht der Pr\xc3\xbc" "fungen.pdf");
  EXPECT_STREQ(kq_attachment_field(nullptr, 1, "name"),
               "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82.txt");
  EXPECT_STREQ(kq_attachment_field(nullptr, 2, "name"), "attachment-2.jpg");
  EXPECT_STREQ(kq_attachment_field(nullptr, 3, "name"), "attachment-3.bin");
}

TEST(AttachmentSave, NeverReplacesAFileNorFollowsALink) {
  tagged_scratch_dir d("att-nodup");
  hold("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
       "--b\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\none\r\n"
       "--b\r\nContent-Disposition: attachment; filename=a.txt\r\n\r\ntwo\r\n"
       "--b\r\nContent-Disposition: attachment; filename=b.txt\r\n\r\nthree\r\n--b--\r\n");
  const std::string dir = d.str();
  // Each save tells the name it chose.
  const struct {
    int row;
    const char *name;
  } saves[] = {{0, "a.txt"}, {1, "a (2).txt"}, {0, "a (3).txt"}};
  for (const auto &s : saves) {
    ASSERT_EQ(kq_attachment_save(nullptr, s.row, dir.c_str()), 0) << kq_last_error();
    EXPECT_EQ(kq_attachment_saved_path(), dir + "/" + s.name);
  }
  EXPECT_EQ(read_file(d.path() / "a.txt"), "one");
  EXPECT_EQ(read_file(d.path() / "a (2).txt"), "two");
  EXPECT_EQ(read_file(d.path() / "a (3).txt"), "one");
  // A link planted under the name, even one pointing nowhere, is left alone.
  fs::path target = d.path() / "outside";
  KQ_SYMLINK_OR_SKIP(target, d.path() / "b.txt", false);
  ASSERT_EQ(kq_attachment_save(nullptr, 2, dir.c_str()), 0) << kq_last_error();
  EXPECT_FALSE(fs::exists(target));
  EXPECT_TRUE(fs::is_symlink(d.path() / "b.txt"));
  EXPECT_EQ(read_file(d.path() / "b (2).txt"), "three");
}

TEST(BodyText, ConvertedFromAStatefulCharset) {
  if (kqtest::platform::under_wine()) GTEST_SKIP() << "Wine has no ISO-2022-JP code page (50220)";
  hold("Content-Type: text/plain; charset=ISO-2022-JP\r\n\r\n\x1b$BF|K\\8l\x1b(B");
  EXPECT_STREQ(kq_fetch_body_text(), "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
}

TEST(BodyText, ConvertedFromThePartsCharset) {
  hold("Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n"
       "\r\nGr=FC=DFe aus K=F6ln");
  EXPECT_STREQ(kq_fetch_body_text(), "Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln");
  hold("Content-Type: text/plain; charset=\"KOI8-R\"\r\n\r\n\xf0\xd2\xc9\xd7\xc5\xd4");
  EXPECT_STREQ(kq_fetch_body_text(), "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  hold("Content-Type: text/html; charset=windows-1252\r\n\r\n<p>\x80 5 &amp; more</p>");
  EXPECT_STREQ(kq_fetch_body_text(), " \xe2\x82\xac 5 & more ");
  // An unknown charset, or bytes that break their charset: shown as they are.
  hold("Content-Type: text/plain; charset=x-martian\r\n\r\nab\xe9");
  EXPECT_STREQ(kq_fetch_body_text(), "ab\xe9");
  hold("Content-Type: text/plain; charset=utf-8\r\n\r\nab\xe9");
  EXPECT_STREQ(kq_fetch_body_text(), "ab\xe9");
}

TEST(AttachmentSave, TheSavedPathBelongsToTheLastSaveOfTheFetchedMessage) {
  tagged_scratch_dir d("att-path");
  const std::string dir = d.str();
  hold(message_fixture("encodings.eml"));
  EXPECT_STREQ(kq_attachment_saved_path(), "");
  ASSERT_EQ(kq_attachment_save(nullptr, 0, dir.c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_attachment_saved_path(), dir + "/photo.bin");
  // A failed save names no file, not the one before.
  EXPECT_EQ(kq_attachment_save(nullptr, 9, dir.c_str()), -1);
  EXPECT_STREQ(kq_attachment_saved_path(), "");
  ASSERT_EQ(kq_attachment_save(nullptr, 0, dir.c_str()), 0) << kq_last_error();
  EXPECT_EQ(kq_attachment_saved_path(), dir + "/photo (2).bin");
  // Another fetched message: the path was of a row it does not have.
  hold(message_fixture("encodings.eml"));
  EXPECT_STREQ(kq_attachment_saved_path(), "");
}

TEST(AttachmentSave, BadBase64FailsAndWritesNothing) {
  tagged_scratch_dir d("att-bad");
  hold("Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
       "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
       "Content-Disposition: attachment; filename=broken.bin\r\n\r\nQUJD\r\nQU*D\r\n--b--\r\n");
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_EQ(kq_attachment_save(nullptr, 0, d.str().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "cannot decode attachment 0");
  EXPECT_FALSE(fs::exists(d.path() / "broken.bin"));
}

TEST(AttachmentSave, Failures) {
  tagged_scratch_dir d("att-fail");
  hold(message_fixture("encodings.eml"));
  EXPECT_EQ(kq_attachment_save(nullptr, 0, nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "no dir");
  EXPECT_EQ(kq_attachment_save(nullptr, 0, ""), -1);
  EXPECT_STREQ(kq_last_error(), "no dir");
  EXPECT_EQ(kq_attachment_save(nullptr, 3, d.str().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "bad attachment index");
  EXPECT_EQ(kq_attachment_save(nullptr, -1, d.str().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "bad attachment index");
  std::string missing = (d.path() / "nope").string();
  EXPECT_EQ(kq_attachment_save(nullptr, 0, missing.c_str()), -1);
  EXPECT_EQ(kq_last_error(), "cannot write " + missing + "/photo.bin: " + plat::error_text(ENOENT));
  std::string long_dir(4090, 'd');
  EXPECT_EQ(kq_attachment_save(nullptr, 0, long_dir.c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "path too long");

  // Before any message was fetched.
  keep_fetched(nullptr);
  EXPECT_EQ(kq_attachment_count(), 0);
  EXPECT_EQ(kq_attachment_save(nullptr, 0, d.str().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "bad attachment index");
  EXPECT_STREQ(kq_fetch_header(), "");
  EXPECT_EQ(kq_fetch_save((d.path() / "m.eml").string().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "nothing fetched");
}

TEST(FetchSave, WritesTheRawBytesAndReportsFailures) {
  tagged_scratch_dir d("fetch-save");
  std::string raw = message_fixture("nul_bytes.eml");
  hold(raw);
  std::string path = (d.path() / "m.eml").string();
  EXPECT_EQ(kq_fetch_save(path.c_str()), 0);
  EXPECT_EQ(read_file(path), raw);
  EXPECT_EQ(kq_fetch_save(nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "no path");
  EXPECT_EQ(kq_fetch_save(""), -1);
  EXPECT_STREQ(kq_last_error(), "no path");
  std::string bad = (d.path() / "missing" / "m.eml").string();
  EXPECT_EQ(kq_fetch_save(bad.c_str()), -1);
  EXPECT_EQ(kq_last_error(), "cannot write " + bad + ": " + plat::error_text(ENOENT));
}

TEST(FetchSave, AFullDiskIsNotReportedAsSuccessAndSaysWhy) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  hold(message_fixture("plain.eml"));
  EXPECT_EQ(kq_fetch_save("/dev/full"), -1);
  EXPECT_EQ(kq_last_error(), "cannot write /dev/full: " + std::string(plat::error_text(ENOSPC)));
}

TEST(Fetch, BadIndexComesFirstEvenWithoutAConnection) {
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_STREQ(kq_last_error(), "bad index");
  EXPECT_EQ(kq_fetch(-1), -1);
  EXPECT_STREQ(kq_last_error(), "bad index");
  kqtest::put_uids("", {7});
  EXPECT_EQ(kq_fetch(1), -1);
  EXPECT_STREQ(kq_last_error(), "bad index");
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  clear_result("");
}
