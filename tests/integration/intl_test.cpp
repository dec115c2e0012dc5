// Mail in other languages on the real server: encoded words in several
// charsets in the search rows and filters, bodies and attachment names
// converted to UTF-8, folders with non-ASCII names reached by either form
// and exported under their readable names.
#include <gtest/gtest.h>

#include <chrono>
#include <string_view>
#include <filesystem>
#include <thread>

#include "mailbox_test_util.h"
#include "support/message_files.h"
#include "support/platform/os.h"

using namespace kqsearch;
namespace fs = std::filesystem;

namespace {

const std::string k_entwuerfe = "Entw\xc3\xbcrfe";
const std::string k_pochta = "\xd0\x9f\xd0\xbe\xd1\x87\xd1\x82\xd0\xb0";  // Почта

// Wine has no code page 50220, through which the Windows build decodes
// ISO-2022-JP (Windows itself has it).
const char *const k_no_iso_2022_jp = "Wine has no ISO-2022-JP code page (50220)";
bool lacks_iso_2022_jp() { return kqtest::platform::under_wine(); }

struct intl_msg {
  const char *from, *subject, *from_utf8, *subject_utf8;
};

// One message per charset; the raw headers carry encoded words only.
const intl_msg k_msgs[] = {
    {"=?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.de>",
     "=?utf-8?q?=C3=9Cber_die_Preise_f=C3=BCr?= =?utf-8?q?_2024?=",
     "J\xc3\xbcrgen M\xc3\xbcller <jm@example.de>", "\xc3\x9c" "ber die Preise f\xc3\xbcr 2024"},
    {"=?ISO-8859-1?Q?Jos=E9_N=FA=F1ez?= <jn@example.es>", "=?ISO-8859-1?Q?A=F1o_nuevo?=",
     "Jos\xc3\xa9 N\xc3\xba\xc3\xb1" "ez <jn@example.es>", "A\xc3\xb1o nuevo"},
    {"shop@example.com", "=?windows-1252?Q?Preis:_=80_5_=96_jetzt?=", "shop@example.com",
     "Preis: \xe2\x82\xac 5 \xe2\x80\x93 jetzt"},
    {"=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?= <jp@example.jp>", "=?ISO-2022-JP?B?GyRCRnxLXDhsGyhC?=",
     "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e <jp@example.jp>", "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e"},
    {"=?KOI8-R?B?6dfBzg==?= <ivan@example.ru>", "=?KOI8-R?B?8NLJ18XU?=",
     "\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd <ivan@example.ru>",
     "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
    {"plain@example.org", "=?x-unknown?Q?stays?=", "plain@example.org", "=?x-unknown?Q?stays?="},
};

class Intl : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto &dv = kqtest::shared_dovecot();
    if (!dv.running()) return;
    user_ = fresh_user("intl");
    std::vector<kqtest::DovecotServer::Message> m;
    for (const auto &x : k_msgs) m.push_back({message(x.from, "to@example.org", x.subject), 0, ""});
    ASSERT_EQ(dv.append_many(user_, "INBOX", m).size(), m.size());
    ASSERT_TRUE(dv.create_folder(user_, k_entwuerfe));
    ASSERT_TRUE(dv.create_folder(user_, k_pochta));
    ASSERT_NE(dv.append(user_, k_entwuerfe, message("a@example.org", "b@example.org", "draft one")), 0u);
    ASSERT_NE(dv.append(user_, k_pochta, message("c@example.org", "d@example.org", "letter")), 0u);
    // Body in KOI8-R and attachments named by RFC 2231 continuations.
    std::string mixed =
        "From: r@example.org\r\nTo: s@example.org\r\nSubject: files\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n"
        "--zz\r\nContent-Type: text/plain; charset=KOI8-R\r\n\r\n\xf0\xd2\xc9\xd7\xc5\xd4\r\n"
        "--zz\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment;\r\n"
        " filename*0*=utf-8''%D0%9E%D1%82%D1%87%D1%91%D1%82%20%D0%B7%D0%B0;\r\n"
        " filename*1*=%20%D0%BC%D0%B0%D0%B9;\r\n filename*2=\".pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
        "--zz\r\nContent-Type: application/pdf\r\n"
        "Content-Disposition: attachment; filename*=iso-8859-1'de'R%E9sum%E9.pdf\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n"
        "--zz\r\nContent-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n\r\niVBORw==\r\n"
        "--zz--\r\n";
    ASSERT_TRUE(dv.create_folder(user_, "Files"));
    ASSERT_NE(dv.append(user_, "Files", mixed), 0u);
  }

  void SetUp() override {
    auto &dv = kqtest::shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(login(user_), 0) << kq_last_error();
  }
  void TearDown() override { kq_disconnect(); }

  static int hits(const std::string &criteria) {
    EXPECT_EQ(kq_search("INBOX", criteria.c_str()), 0) << criteria << ": " << kq_last_error();
    return kq_search_count();
  }

  static std::string user_;
};
std::string Intl::user_;

}  // namespace

TEST_F(Intl, RowsCarryDecodedTextInEveryCharset) {
  ASSERT_EQ(kq_search("INBOX", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_search_count(), static_cast<int>(std::size(k_msgs)));
  for (int i = 0; i < kq_search_count(); ++i) {
    if (lacks_iso_2022_jp() && std::string_view(k_msgs[i].subject).find("ISO-2022-JP") != std::string_view::npos)
      continue;
    EXPECT_STREQ(kq_search_field(i, "from"), k_msgs[i].from_utf8) << i;
    EXPECT_STREQ(kq_search_field(i, "subject"), k_msgs[i].subject_utf8) << i;
  }
  // The header block itself stays as the server sent it.
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_NE(std::string(kq_fetch_header()).find("=?utf-8?q?=C3=9Cber_die"), std::string::npos);
  if (lacks_iso_2022_jp()) GTEST_SKIP() << k_no_iso_2022_jp << ": the other charsets were checked";
}

TEST_F(Intl, FiltersCompareDecodedTextWithoutCase) {
  EXPECT_EQ(hits(R"({"subject":"über"})"), 1);
  EXPECT_EQ(hits(R"({"subject":"ÜBER DIE"})"), 1);
  EXPECT_EQ(hits(R"({"subject":"año"})"), 1);
  EXPECT_EQ(hits(R"({"from":"MÜLLER"})"), 1);
  EXPECT_EQ(hits(R"({"from":"núñez"})"), 1);
  EXPECT_EQ(hits(R"({"subject":"€ 5"})"), 1);
  if (!lacks_iso_2022_jp()) {
    EXPECT_EQ(hits(R"({"subject":"日本"})"), 1);
  }
  EXPECT_EQ(hits(R"({"subject":"ПРИВЕТ"})"), 1);
  EXPECT_EQ(hits(R"({"from":"иван"})"), 1);
  EXPECT_EQ(hits(R"({"subject":"uber"})"), 0);
  if (lacks_iso_2022_jp()) GTEST_SKIP() << k_no_iso_2022_jp << ": the other charsets were checked";
}

TEST_F(Intl, BadCriteriaAreRefusedByKey) {
  ASSERT_EQ(kq_search("INBOX", nullptr), 0);
  int before = kq_search_count();
  for (const auto &[json, err] :
       std::vector<std::pair<std::string, std::string>>{
           {R"({"since":"2024-13-45"})", "bad criteria: since"},
           {R"({"before":"last week"})", "bad criteria: before"},
           {R"({"subject":5})", "bad criteria: subject"},
           {R"({"has_attachments":"yes"})", "bad criteria: has_attachments"}}) {
    EXPECT_EQ(kq_search("INBOX", json.c_str()), -1) << json;
    EXPECT_EQ(kq_last_error(), err);
  }
  // A refused search leaves the previous result.
  EXPECT_EQ(kq_search_count(), before);
}

TEST_F(Intl, FoldersListedWithDisplayNamesAndReachedByEither) {
  std::string text = kq_folders_json();
  EXPECT_NE(text.find("{\"name\":\"Entw&APw-rfe\",\"display\":\"" + k_entwuerfe + "\","),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"display\":\"" + k_pochta + "\""), std::string::npos) << text;
  EXPECT_NE(text.find("{\"name\":\"INBOX\",\"display\":\"INBOX\","), std::string::npos) << text;
  for (const std::string &f : {std::string("Entw&APw-rfe"), k_entwuerfe}) {
    ASSERT_EQ(kq_search(f.c_str(), nullptr), 0) << f << ": " << kq_last_error();
    ASSERT_EQ(kq_search_count(), 1) << f;
    EXPECT_STREQ(kq_search_field(0, "subject"), "draft one");
    ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  }
  ASSERT_EQ(kq_search(k_pochta.c_str(), nullptr), 0) << kq_last_error();
  EXPECT_EQ(kq_search_count(), 1);
  EXPECT_NE(kq_probe_folder(k_entwuerfe.c_str())[0], '\0') << kq_last_error();
}

TEST_F(Intl, BodyAndAttachmentNamesInUtf8) {
  ASSERT_EQ(kq_search("Files", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_STREQ(kq_fetch_body_text(), "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82");
  ASSERT_EQ(kq_attachment_count(), 3);
  const std::string report = "\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82 \xd0\xb7\xd0\xb0 "
                             "\xd0\xbc\xd0\xb0\xd0\xb9.pdf";  // Отчёт за май.pdf
  EXPECT_EQ(kq_attachment_field(nullptr, 0, "name"), report);
  EXPECT_STREQ(kq_attachment_field(nullptr, 1, "name"), "R\xc3\xa9sum\xc3\xa9.pdf");
  EXPECT_STREQ(kq_attachment_field(nullptr, 2, "name"), "attachment-2.png");
  kqtest::tagged_scratch_dir d("intl-atts");
  for (int i : {0, 0, 1, 2}) ASSERT_EQ(kq_attachment_save(nullptr, i, d.str().c_str()), 0) << kq_last_error();
  EXPECT_EQ(kqtest::read_file(d.path() / kqtest::utf8_path(report)), "%PDF-");
  EXPECT_EQ(kqtest::read_file(d.path() / kqtest::utf8_path("\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82 \xd0\xb7\xd0\xb0 "
                                                             "\xd0\xbc\xd0\xb0\xd0\xb9 (2).pdf")),
            "%PDF-");
  EXPECT_TRUE(fs::exists(d.path() / kqtest::utf8_path("R\xc3\xa9sum\xc3\xa9.pdf")));
  EXPECT_TRUE(fs::exists(d.path() / "attachment-2.png"));
}

TEST_F(Intl, BatchDirectoriesTakeTheReadableNameUnlessTheRawOneExists) {
  kqtest::tagged_scratch_dir d("intl-batch");
  // An archive begun by an earlier version under the raw name is continued.
  fs::create_directories(d.path() / "Entw&APw-rfe");
  std::string cfg = "{\"dir\":" + kqtest::json_quote(d.str()) + ",\"folders\":[\"Entw&APw-rfe\"," +
                    kqtest::json_quote(k_pochta) + ",\"Files\"]}";
  ASSERT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::string st;
  for (;;) {
    st = kq_export_all_status_json();
    if (st.find("\"state\":1") == std::string::npos || std::chrono::steady_clock::now() > end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(st.find("\"state\":2"), std::string::npos) << st;
  EXPECT_TRUE(fs::exists(d.path() / "Entw&APw-rfe" / "manifest.jsonl")) << st;
  EXPECT_FALSE(fs::exists(d.path() / kqtest::utf8_path(k_entwuerfe)));
  EXPECT_TRUE(fs::exists(d.path() / kqtest::utf8_path(k_pochta) / "manifest.jsonl")) << st;
  EXPECT_FALSE(fs::exists(d.path() / "&BB8EPgRHBEIEMA-"));
  EXPECT_TRUE(fs::exists(d.path() / "Files" / "manifest.jsonl"));
}
