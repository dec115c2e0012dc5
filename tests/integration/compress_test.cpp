// COMPRESS=DEFLATE. Against the loopback Dovecot (which offers it): an
// export gives the same archive compressed or not, in plain and TLS, and the
// wire carries far fewer bytes than the text it delivers. Against a scripted
// server: a refusal, or "compress": 0, leaves the session uncompressed and
// working.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "connection/session.h"
#include "export_support.h"
#include "kerquill.h"
#include "support/script_server.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

class Compress : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DovecotServer &dv = shared_dovecot();
    if (!dv.running()) return;
    user_ = dv.unique_user("compress");
    ASSERT_TRUE(dv.add_user(user_, "pw-compress"));
    ASSERT_TRUE(dv.create_folder(user_, k_folder));
    std::vector<std::pair<std::string, long long>> msgs;
    for (int i = 0; i < 8; ++i)
      msgs.push_back({make_message(i, 3000 + 9000 * i, "Compressed " + std::to_string(i)),
                      1700000000 + i * 86400});
    msgs_ = append_all(dv, user_, k_folder, msgs);
    ASSERT_EQ(msgs_.size(), 8u);
  }

  void SetUp() override {
    DovecotServer &dv = shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(msgs_.size(), 8u);
  }

  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }

  // Every file under dir by its relative path, with its bytes; in all.mbox
  // the separator lines' dates (the time of the export) are left out.
  static std::map<std::string, std::string> tree(const std::string &dir) {
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
      if (!e.is_regular_file()) continue;
      std::string name = std::filesystem::relative(e.path(), dir).generic_string();
      std::string bytes = read_all(e.path().string());
      if (name == "all.mbox") {
        std::string kept;
        for (std::size_t at = 0; at < bytes.size();) {
          std::size_t end = bytes.find('\n', at);
          end = end == std::string::npos ? bytes.size() : end + 1;
          std::string line = bytes.substr(at, end - at);
          if (line.rfind("From ", 0) == 0) line = line.substr(0, line.find(' ', 5));
          kept += line;
          at = end;
        }
        bytes = kept;
      }
      out[name] = bytes;
    }
    return out;
  }

  static constexpr const char *k_folder = "Squeezed";
  static std::string user_;
  static std::vector<stored> msgs_;
};

std::string Compress::user_;
std::vector<stored> Compress::msgs_;

}  // namespace

TEST_F(Compress, ExportGivesTheSameArchiveWithAndWithoutCompression) {
  struct row {
    const char *name;
    bool tls;
    const char *compress;
  };
  const row rows[] = {{"plain, uncompressed", false, "0"},
                      {"plain, compressed", false, "1"},
                      {"TLS, compressed", true, "1"}};
  std::map<std::string, std::string> first;
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    scratch_dir d;
    std::string json = connect_json(user_, "pw-compress", r.tls, std::string("\"compress\":") + r.compress);
    ASSERT_EQ(kq_connect(json.c_str()), 0) << kq_last_error();
    search_all(k_folder, msgs_.size());
    ASSERT_EQ(kq_export_start(config(d.str(), "\"format\":\"eml+mbox\"").c_str()), 0) << kq_last_error();
    ASSERT_EQ(wait_end(), 2) << job_error();
    kq_disconnect();
    expect_archive(d.str(), k_folder, msgs_);
    std::map<std::string, std::string> files = tree(d.str());
    EXPECT_GE(files.size(), msgs_.size() + 2);
    if (first.empty()) {
      first = files;
      continue;
    }
    EXPECT_EQ(files.size(), first.size());
    for (const auto &[name, bytes] : first) {
      auto it = files.find(name);
      EXPECT_TRUE(it != files.end() && it->second == bytes) << name << " differs from the uncompressed run's";
    }
  }
}

TEST_F(Compress, TheWireCarriesFewerBytesThanTheText) {
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    for (int on : {1, 0}) {
      kq::conn_config cfg;
      ASSERT_TRUE(kq::conn_config_parse(
          connect_json(user_, "pw-compress", tls, "\"compress\":" + std::to_string(on)).c_str(), cfg));
      kq::session s;
      ASSERT_EQ(s.connect(cfg), 0) << kq_last_error();
      ASSERT_EQ(s.open(k_folder, nullptr), 0) << kq_last_error();
      kq::command_reply reply;
      ASSERT_EQ(s.exec("UID FETCH 1:* (BODY.PEEK[])", &reply), 0) << kq_last_error();
      EXPECT_EQ(reply.data.size(), msgs_.size());
      const kq::transport &t = s.stream();
      EXPECT_EQ(t.is_compressed(), on == 1);
      std::size_t text = 0;
      for (const stored &m : msgs_) text += m.raw.size();
      EXPECT_GT(t.plain_in(), text);
      if (on) {
        // The test messages repeat their lines: deflate takes them to a
        // small fraction.
        EXPECT_LT(t.wire_in() * 3, t.plain_in());
      } else {
        EXPECT_EQ(t.wire_in(), t.plain_in());
        EXPECT_EQ(t.wire_out(), t.plain_out());
      }
      s.disconnect();
    }
  }
}

TEST(CompressScript, RefusedOrTurnedOffTheSessionGoesOnUncompressed) {
  struct row {
    const char *name;
    const char *extra;
    const char *answer;  // to COMPRESS DEFLATE; nullptr: it must not be asked
  };
  const row rows[] = {{"NO", "", "NO [COMPRESSIONACTIVE] not now"},
                      {"BAD", "", "BAD unknown command"},
                      {"turned off", ",\"compress\":0", nullptr}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    ScriptServer s;
    s.send("* OK [CAPABILITY IMAP4rev1 COMPRESS=DEFLATE] scripted\r\n").expect_line().send_tagged("OK in");
    if (r.answer) s.expect_line().send_tagged(r.answer);
    s.expect_line().send_tagged("OK still plain").expect_line().send_tagged("OK bye");
    std::string err;
    ASSERT_TRUE(s.start(&err)) << err;
    kq::conn_config cfg;
    ASSERT_TRUE(kq::conn_config_parse(("{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
                                       ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\",\"timeout_s\":10" + r.extra + "}")
                                          .c_str(),
                                      cfg));
    kq::session sess;
    ASSERT_EQ(sess.connect(cfg), 0) << kq_last_error();
    EXPECT_FALSE(sess.stream().is_compressed());
    EXPECT_EQ(sess.exec("NOOP"), 0) << kq_last_error();
    sess.disconnect();
    s.stop();
    std::vector<std::string> got = s.received();
    std::vector<std::string> words;
    for (const std::string &l : got) words.push_back(l.substr(l.find(' ') + 1));
    std::vector<std::string> want = {"LOGIN \"u\" \"p\""};
    if (r.answer) want.push_back("COMPRESS DEFLATE");
    want.push_back("NOOP");
    want.push_back("LOGOUT");
    EXPECT_EQ(words, want);
  }
}
