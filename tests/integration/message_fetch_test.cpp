// Fetch, body text and attachments against the loopback Dovecot, with the
// hand-written fixtures of tests/data/messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/result_rows.h"
#include "connection/imap.h"
#include "kerquill.h"
#include "search/search_table.h"
#include "support/dovecot_server.h"
#include "support/message_files.h"
#include "support/script_server.h"

namespace fs = std::filesystem;
using kqtest::message_fixture;
using kqtest::original_payload;
using kqtest::read_file;
using kqtest::tagged_scratch_dir;

namespace {

const char *const k_fixtures[] = {
    "plain.eml",         "qp_soft.eml",   "html_only.eml",     "alt_plain_first.eml",
    "alt_html_first.eml", "mixed_alt_pdf.eml", "related_image.eml", "forwarded.eml",
    "bare_pdf.eml",      "encodings.eml", "hostile_names.eml", "nul_bytes.eml",
    "bare_lf.eml",
};

std::string many_attachments_message();

class MessageFetch : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dv_ = &kqtest::shared_dovecot();
    if (!dv_->running()) return;
    // Suites run in an order that differs between systems: a session left
    // open by an earlier one belongs to another user.
    kq_disconnect();
    user_ = dv_->unique_user("fetch");
    ASSERT_TRUE(dv_->add_user(user_, "pw-fetch"));
    for (const char *f : k_fixtures) {
      unsigned uid = dv_->append(user_, "INBOX", message_fixture(f));
      ASSERT_NE(uid, 0u) << dv_->last_error();
      uid_[f] = uid;
    }
    // Delivered before the session opens INBOX, so the session sees it.
    uid_["many"] = dv_->append(user_, "INBOX", many_attachments_message());
    ASSERT_NE(uid_["many"], 0u) << dv_->last_error();
  }

  void SetUp() override {
    ASSERT_TRUE(dv_->running()) << dv_->start_error();
    if (kq_status() != 2) {
      ASSERT_EQ(kq_connect(kqtest::connect_json(user_, "pw-fetch", false).c_str()), 0) << kq_last_error();
    }
  }

  // Puts one row in the result table, as a search of folder would.
  static void one_row(const std::string &folder, unsigned uid) {
    kqtest::put_uids(folder, {uid});
  }

  // Searches INBOX for the fixture's UID and fetches the one row found.
  static ::testing::AssertionResult fetch(const std::string &fixture) {
    std::string crit = "{\"uid_min\":" + std::to_string(uid_[fixture]) +
                       ",\"uid_max\":" + std::to_string(uid_[fixture]) + "}";
    if (kq_search("INBOX", crit.c_str()) != 0) return ::testing::AssertionFailure() << kq_last_error();
    if (kq_search_count() != 1) return ::testing::AssertionFailure() << kq_search_count() << " rows";
    if (kq_fetch(0) != 0) return ::testing::AssertionFailure() << kq_last_error();
    if (*kq_last_error()) return ::testing::AssertionFailure() << "error text left: " << kq_last_error();
    return ::testing::AssertionSuccess();
  }

  static kqtest::DovecotServer *dv_;
  static std::string user_;
  static std::map<std::string, unsigned> uid_;
};

// The message as an IMAP server sends it: CR LF line ends throughout.
std::string as_crlf(const std::string &s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r')) out += '\r';
    out += s[i];
  }
  return out;
}

// Bytes of raw between the end of `after` and the next `before`.
std::string between(const std::string &raw, const std::string &after, const std::string &before) {
  std::size_t a = raw.find(after);
  EXPECT_NE(a, std::string::npos) << after;
  a += after.size();
  return raw.substr(a, raw.find(before, a) - a);
}

std::string saved_attachment(const tagged_scratch_dir &d, int index, const std::string &file) {
  EXPECT_EQ(kq_attachment_save(nullptr, index, d.str().c_str()), 0) << kq_last_error();
  EXPECT_STREQ(kq_last_error(), "");
  return read_file(d.path() / file);
}

std::string saved_message(const tagged_scratch_dir &d) {
  std::string p = (d.path() / "message.eml").string();
  EXPECT_EQ(kq_fetch_save(p.c_str()), 0) << kq_last_error();
  return read_file(p);
}

// Standard base64 with CR LF every 76 characters, as a mailer writes it.
std::string b64_lines(const std::string &in) {
  static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out, line;
  for (std::size_t i = 0; i < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    line += tbl[(v >> 18) & 63];
    line += tbl[(v >> 12) & 63];
    line += i + 1 < in.size() ? tbl[(v >> 6) & 63] : '=';
    line += i + 2 < in.size() ? tbl[v & 63] : '=';
    if (line.size() == 76) {
      out += line + "\r\n";
      line.clear();
    }
  }
  return out + line + "\r\n";
}

// 300 Base64 attachments after a text part; payload i is file i's content.
const std::vector<std::string> &many_payloads() {
  static std::vector<std::string> payload = [] {
    std::vector<std::string> v;
    for (int i = 0; i < 300; ++i) {
      std::string p = "file " + std::to_string(i) + ":";
      for (int k = 0; k < 40 + i % 7; ++k) p += static_cast<char>((i * 31 + k * 7) & 0xff);
      v.push_back(p);
    }
    return v;
  }();
  return payload;
}

std::string many_attachments_message() {
  std::string m = "From: a@example.org\r\nSubject: many\r\nMIME-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"many-b\"\r\n\r\n"
                  "--many-b\r\nContent-Type: text/plain\r\n\r\nLots of files.\r\n";
  for (int i = 0; i < 300; ++i)
    m += "--many-b\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
         "Content-Disposition: attachment; filename=\"f" + std::to_string(i) + ".bin\"\r\n\r\n" +
         b64_lines(many_payloads()[i]);
  return m + "--many-b--\r\n";
}

kqtest::DovecotServer *MessageFetch::dv_ = nullptr;
std::string MessageFetch::user_;
std::map<std::string, unsigned> MessageFetch::uid_;

}  // namespace


TEST_F(MessageFetch, BodyTextOfEachKindOfMessage) {
  ASSERT_TRUE(fetch("plain.eml"));
  EXPECT_STREQ(kq_fetch_body_text(),
               "Hello Bob,\r\n\r\nthis is a plain message with two short paragraphs.\r\n\r\n-- \r\nAlice\r\n");
  ASSERT_TRUE(fetch("qp_soft.eml"));
  EXPECT_STREQ(kq_fetch_body_text(),
               "This paragraph is long enough that the sender's mailer wrapped it with a soft line break, "
               "and it continues here.\nIt also has an equals sign = and caf\xc3\xa9 split over a break.\n");
  ASSERT_TRUE(fetch("html_only.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), "   Tom & Jerry <3 \r\n A B &eacute;   \r\n");
  ASSERT_TRUE(fetch("alt_plain_first.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), "Plain version.");
  ASSERT_TRUE(fetch("alt_html_first.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), " HTML  first . ");
  ASSERT_TRUE(fetch("related_image.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), " Look:   ");
  ASSERT_TRUE(fetch("forwarded.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), "See the forwarded message.");
  ASSERT_TRUE(fetch("bare_pdf.eml"));
  EXPECT_STREQ(kq_fetch_body_text(), "[binary content: application/pdf; name=a.pdf]");
  // Stored with bare LF; the server sends CR LF, so the delimiter takes the
  // last line end.
  ASSERT_TRUE(fetch("bare_lf.eml"));
  EXPECT_STREQ(kq_fetch_body_text(),
               "Written on a system whose lines end in a bare line feed, with a soft break.");
}

TEST_F(MessageFetch, MixedHoldingAlternativeAndPdfGivesTextAndLists) {
  ASSERT_TRUE(fetch("mixed_alt_pdf.eml"));
  EXPECT_STREQ(kq_fetch_body_text(),
               "Hi Bob, the report is attached. It is the version we agreed on at the meeting.");
  ASSERT_EQ(kq_attachment_count(), 1);
  std::string raw = message_fixture("mixed_alt_pdf.eml");
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"), "report.pdf");
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "ctype"), "application/pdf; name=\"report.pdf\"");
  EXPECT_EQ(kq_attachment_field(nullptr, 0, "size"),
            std::to_string(between(raw, "filename=\"report.pdf\"\r\n\r\n", "\r\n--=_outer_01--").size()));
  tagged_scratch_dir d("mixed");
  EXPECT_EQ(saved_attachment(d, 0, "report.pdf"), original_payload("report.pdf"));
}

TEST_F(MessageFetch, HeaderTextAndSavedMessageMatchTheServer) {
  tagged_scratch_dir d("raw");
  for (const char *f : k_fixtures) {
    SCOPED_TRACE(f);
    ASSERT_TRUE(fetch(f));
    std::string stored = dv_->fetch_raw(user_, "INBOX", uid_[f]);
    ASSERT_EQ(stored, message_fixture(f));
    std::string sent = as_crlf(stored);
    // IMAP literals cannot carry NUL; Dovecot sends 0x80 in its place.
    std::replace(sent.begin(), sent.end(), '\0', '\x80');
    EXPECT_EQ(saved_message(d), sent);
    std::size_t blank = sent.find("\r\n\r\n");
    EXPECT_EQ(kq_fetch_header(), sent.substr(0, blank + 4));
  }
}

TEST_F(MessageFetch, AttachmentsSavedByteForByte) {
  tagged_scratch_dir d("atts");
  ASSERT_TRUE(fetch("encodings.eml"));
  ASSERT_EQ(kq_attachment_count(), 3);
  EXPECT_EQ(saved_attachment(d, 0, "photo.bin"), original_payload("photo.bin"));   // Base64
  EXPECT_EQ(saved_attachment(d, 1, "notes.txt"), original_payload("notes.txt"));   // quoted-printable
  EXPECT_EQ(saved_attachment(d, 2, "data.csv"), original_payload("data.csv"));     // no encoding
  EXPECT_EQ(kq_attachment_field(nullptr, 2, "size"), std::to_string(original_payload("data.csv").size()));

  ASSERT_TRUE(fetch("related_image.eml"));
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"), "attachment-0.png");
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "ctype"), "image/png");
  EXPECT_EQ(saved_attachment(d, 0, "attachment-0.png"), original_payload("pixel.png"));

  ASSERT_TRUE(fetch("bare_pdf.eml"));
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"), "a.pdf");  // Content-Type's name
  EXPECT_EQ(saved_attachment(d, 0, "a.pdf"), original_payload("report.pdf"));

  ASSERT_TRUE(fetch("bare_lf.eml"));
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_EQ(saved_attachment(d, 0, "pixel.png"), original_payload("pixel.png"));

  // The forwarded message is one attachment, saved as it stands.
  ASSERT_TRUE(fetch("forwarded.eml"));
  ASSERT_EQ(kq_attachment_count(), 1);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "ctype"), "message/rfc822");
  std::string raw = message_fixture("forwarded.eml");
  EXPECT_EQ(saved_attachment(d, 0, "forwarded.eml"),
            between(raw, "filename=\"forwarded.eml\"\r\n\r\n", "\r\n--fwd-outer--"));
}

TEST_F(MessageFetch, AttachmentNamesStayInsideTheDirectory) {
  tagged_scratch_dir outer("names");
  fs::path dir = outer.path() / "in" / "here";
  fs::create_directories(dir);
  ASSERT_TRUE(fetch("hostile_names.eml"));
  ASSERT_EQ(kq_attachment_count(), 4);
  EXPECT_STREQ(kq_attachment_field(nullptr, 0, "name"), "../../escape.txt");
  EXPECT_STREQ(kq_attachment_field(nullptr, 1, "name"), "C:\\Users\\bob\\drive.txt");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(kq_attachment_save(nullptr, i, dir.string().c_str()), 0) << kq_last_error();
  std::vector<std::string> files;
  for (const auto &e : fs::recursive_directory_iterator(outer.path()))
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), outer.path()).string());
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"in/here/D_rel_name.txt", "in/here/attachment",
                                             "in/here/drive.txt", "in/here/escape.txt"}));
  EXPECT_EQ(read_file(dir / "drive.txt"), "drive");
}

TEST_F(MessageFetch, ThreeHundredAttachmentsListTheFirst256) {
  const std::vector<std::string> &payload = many_payloads();
  ASSERT_TRUE(fetch("many"));
  EXPECT_STREQ(kq_fetch_body_text(), "Lots of files.");
  ASSERT_EQ(kq_attachment_count(), 256);
  EXPECT_STREQ(kq_attachment_field(nullptr, 255, "name"), "f255.bin");
  EXPECT_EQ(kq_attachment_field(nullptr, 255, "size"), std::to_string(b64_lines(payload[255]).size() - 2));
  EXPECT_STREQ(kq_attachment_field(nullptr, 256, "name"), "");
  tagged_scratch_dir d("many");
  EXPECT_EQ(saved_attachment(d, 255, "f255.bin"), payload[255]);
  EXPECT_EQ(saved_attachment(d, 0, "f0.bin"), payload[0]);
  EXPECT_EQ(kq_attachment_save(nullptr, 256, d.str().c_str()), -1);
  EXPECT_STREQ(kq_last_error(), "bad attachment index");
}

TEST_F(MessageFetch, ReadsTheRowsFolderWhateverIsOpen) {
  ASSERT_TRUE(dv_->create_folder(user_, "Other"));
  unsigned other = dv_->append(user_, "Other", "Subject: from Other\r\nContent-Type: text/plain\r\n\r\nother body\r\n");
  ASSERT_NE(other, 0u) << dv_->last_error();
  std::string inbox_plain = message_fixture("plain.eml");
  ASSERT_EQ(dv_->fetch_raw(user_, "INBOX", other).substr(0, 20), inbox_plain.substr(0, 20))
      << "the same UID must exist in INBOX for this test";
  std::string inbox_header = inbox_plain.substr(0, inbox_plain.find("\r\n\r\n") + 4);

  // The probe opens INBOX after the search of Other.
  ASSERT_EQ(kq_search("Other", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_search_count(), 1);
  ASSERT_STRNE(kq_probe_folder("INBOX"), "") << kq_last_error();
  ASSERT_EQ(kq::main_session().selected(), "INBOX");
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_STREQ(kq_fetch_body_text(), "other body\r\n");

  // And the other way round.
  ASSERT_TRUE(fetch("plain.eml"));
  ASSERT_EQ(uid_["plain.eml"], other);
  ASSERT_STRNE(kq_probe_folder("Other"), "") << kq_last_error();
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_EQ(kq_fetch_header(), inbox_header);

  // A folder that can no longer be opened fails the fetch and keeps the
  // message.
  ASSERT_EQ(kq_search("Other", nullptr), 0) << kq_last_error();
  ASSERT_STRNE(kq_probe_folder("INBOX"), "") << kq_last_error();
  ASSERT_TRUE(dv_->delete_folder(user_, "Other")) << dv_->last_error();
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_EQ(std::string(kq_last_error()), "fetch uid " + std::to_string(other) + " failed");
  EXPECT_EQ(kq_fetch_header(), inbox_header);
}

TEST_F(MessageFetch, FailuresKeepThePreviousMessage) {
  ASSERT_TRUE(fetch("encodings.eml"));
  std::string hdr = kq_fetch_header(), body = kq_fetch_body_text();

  one_row("INBOX", 999999);  // no such UID: the server answers OK with no data
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_STREQ(kq_last_error(), "empty message body");
  EXPECT_EQ(kq_fetch_header(), hdr);
  EXPECT_EQ(kq_fetch_body_text(), body);
  EXPECT_EQ(kq_attachment_count(), 3);

  EXPECT_EQ(kq_fetch(1), -1);
  EXPECT_STREQ(kq_last_error(), "bad index");

  // The fetched message outlives the connection.
  kq_disconnect();
  EXPECT_EQ(kq_fetch(0), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  tagged_scratch_dir d("after");
  EXPECT_EQ(saved_attachment(d, 2, "data.csv"), original_payload("data.csv"));
  EXPECT_EQ(saved_message(d), message_fixture("encodings.eml"));
}

TEST_F(MessageFetch, FetchLeavesTheSeenFlagAlone) {
  ASSERT_TRUE(fetch("qp_soft.eml"));
  std::string out, err;
  ASSERT_EQ(dv_->doveadm({"fetch", "-u", user_, "flags", "mailbox", "INBOX", "uid",
                          std::to_string(uid_["qp_soft.eml"])},
                         &out, &err),
            0)
      << err;
  EXPECT_EQ(out.find("\\Seen"), std::string::npos) << out;
}

// NUL bytes reach the library only from a server that sends them, so a
// scripted one plays the fetch.
TEST(MessageFetchScripted, NulBytesAreSavedAndEndTheBodyText) {
  std::string msg("Subject: nul\r\nContent-Type: text/plain\r\n\r\nbefore\0after\r\n", 56);
  kqtest::ScriptServer s;
  s.send("* OK ready\r\n")
      .expect_line()  // CAPABILITY
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()  // LOGIN
      .send_tagged("OK logged in")
      .expect_line()  // EXAMINE
      .send("* 1 EXISTS\r\n")
      .send_tagged("OK [READ-ONLY] done")
      .expect_line()  // UID FETCH
      .send("* 1 FETCH (UID 42 BODY[] {" + std::to_string(msg.size()) + "}\r\n" + msg + ")\r\n")
      .send_tagged("OK done")
      .expect_line()  // LOGOUT
      .send("* BYE\r\n")
      .send_tagged("OK bye")
      .close();
  ASSERT_TRUE(s.start());
  std::string cfg = "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                    ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();
  kqtest::put_uids("Archive", {42});
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_STREQ(kq_fetch_body_text(), "before");
  tagged_scratch_dir d("nul");
  EXPECT_EQ(saved_message(d), msg);
  kq_disconnect();
  s.stop();
  auto got = s.received();
  ASSERT_GE(got.size(), 4u);
  EXPECT_NE(got[2].find(" EXAMINE \"Archive\""), std::string::npos) << got[2];
  EXPECT_NE(got[3].find(" UID FETCH 42 (BODY.PEEK[])"), std::string::npos) << got[3];
}

TEST_F(MessageFetch, ByUidLeavesTheSearchResultAlone) {
  ASSERT_TRUE(fetch("plain.eml"));
  std::string plain_header = kq_fetch_header();
  unsigned plain = uid_["plain.eml"], html = uid_["html_only.eml"];
  ASSERT_NE(html, 0u);
  // Another folder is open and the result holds one row of INBOX.
  ASSERT_TRUE(dv_->create_folder(user_, "ByUid"));
  ASSERT_EQ(kq_search("ByUid", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_search("INBOX", ("{\"uid_min\":" + std::to_string(plain) + ",\"uid_max\":" +
                                std::to_string(plain) + "}").c_str()),
            0);
  ASSERT_STRNE(kq_probe_folder("ByUid"), "") << kq_last_error();
  ASSERT_EQ(kq_fetch_uid("INBOX", html), 0) << kq_last_error();
  EXPECT_STREQ(kq_last_error(), "");
  EXPECT_EQ(std::string(kq_fetch_header()), dv_->fetch_raw(user_, "INBOX", html).substr(0, std::string(kq_fetch_header()).size()));
  EXPECT_EQ(kq_search_count(), 1);
  EXPECT_EQ(std::string(kq_search_field(0, "uid")), std::to_string(plain));
  ASSERT_EQ(kq_fetch(0), 0) << kq_last_error();
  EXPECT_EQ(kq_fetch_header(), plain_header);

  // A UID the folder does not hold, a folder that does not exist, no UID:
  // failures that keep the fetched message.
  EXPECT_EQ(kq_fetch_uid("INBOX", 999999), -1);
  EXPECT_STREQ(kq_last_error(), "no message with uid 999999 in INBOX");
  EXPECT_EQ(kq_fetch_uid("NoSuchFolder", plain), -1);
  EXPECT_EQ(kq_fetch_uid("INBOX", 0), -1);
  EXPECT_STREQ(kq_last_error(), "bad uid");
  EXPECT_EQ(kq_fetch_uid(nullptr, plain), -1);
  EXPECT_STREQ(kq_last_error(), "no folder");
  EXPECT_EQ(kq_fetch_header(), plain_header);
}

TEST(LibraryVersion, IsThreeNumbers) {
  std::string v = kq_version();
  int a = -1, b = -1, c = -1;
  char tail = 0;
  EXPECT_EQ(std::sscanf(v.c_str(), "%d.%d.%d%c", &a, &b, &c, &tail), 3) << v;
  EXPECT_GE(a + b + c, 1) << v;
}
