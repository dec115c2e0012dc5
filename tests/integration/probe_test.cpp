// kq_probe_folder against the real server: the sample spread over the
// messages that exist, the estimate and the attachment share it gives.
#include <gtest/gtest.h>

#include <cmath>

#include "connection/imap.h"
#include "mailbox_test_util.h"

using namespace kqsearch;

namespace {

struct probe_row {
  std::string folder, oldest = "?", newest = "?";
  long long total_messages = -1, total_bytes = -1, estimated_bytes = -1, uid_min = -1,
            uid_max = -1;
  long long sampled = -1;
  double pct = -1;
};

bool parse_probe(const char *text, probe_row &p) {
  kq::json_doc doc;
  if (!doc.parse(text) || !yyjson_is_obj(doc.root())) return false;
  yyjson_val *r = doc.root();
  if (const char *s = kq::json_str(r, "folder")) p.folder = s;
  if (const char *s = kq::json_str(r, "oldest")) p.oldest = s;
  if (const char *s = kq::json_str(r, "newest")) p.newest = s;
  p.total_messages = kq::json_num(r, "total_messages", -1);
  p.total_bytes = kq::json_num(r, "total_bytes", -1);
  p.estimated_bytes = kq::json_num(r, "estimated_bytes", -1);
  p.sampled = kq::json_num(r, "sampled", -1);
  p.uid_min = kq::json_num(r, "uid_min", -1);
  p.uid_max = kq::json_num(r, "uid_max", -1);
  yyjson_val *pct = kq::json_key(r, "attachment_pct");
  p.pct = pct && yyjson_is_num(pct) ? yyjson_get_num(pct) : -1;
  return true;
}

// Message i: attachments on every fourth, bodies of growing size.
std::string nth(int i) {
  return message("p@x", "q@y", "probe " + std::to_string(i), i % 4 == 0 ? "mixed" : "text/plain",
                 std::string(static_cast<std::size_t>(100 + 7 * i), 'b') + "\r\n");
}

class Probe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto &dv = kqtest::shared_dovecot();
    if (!dv.running()) return;
    user_ = fresh_user("probe");
    std::vector<kqtest::DovecotServer::Message> m;
    for (int i = 0; i < 1000; ++i) m.push_back({nth(i), 0, ""});
    ASSERT_TRUE(dv.create_folder(user_, "Thousand"));
    ASSERT_EQ(dv.append_many(user_, "Thousand", m).size(), 1000u);
    ASSERT_TRUE(dv.create_folder(user_, "Empty"));
  }
  void SetUp() override {
    auto &dv = kqtest::shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(login(user_), 0) << kq_last_error();
  }
  static std::string user_;
};
std::string Probe::user_;

}  // namespace

TEST_F(Probe, EmptyFolderSendsNoSample) {
  std::uint64_t before = kq::cmd_sent_total();
  probe_row p;
  ASSERT_TRUE(parse_probe(kq_probe_folder("Empty"), p)) << kq_probe_folder("Empty");
  EXPECT_EQ(kq::cmd_sent_total() - before, 2u);  // EXAMINE and its ESEARCH, together
  EXPECT_EQ(p.folder, "Empty");
  EXPECT_EQ(p.total_messages, 0);
  EXPECT_EQ(p.sampled, 0);
  EXPECT_EQ(p.total_bytes, 0);
  EXPECT_EQ(p.estimated_bytes, 0);
  EXPECT_EQ(p.pct, 0.0);
  EXPECT_EQ(p.uid_min, 0);
  EXPECT_EQ(p.uid_max, 0);
  EXPECT_NE(std::string(kq_probe_folder("Empty")).find("\"attachment_pct\":0.0,"), std::string::npos);
}

TEST_F(Probe, ThousandMessagesSampledEvery33rd) {
  // Messages 1, 34, 67, ... 958: thirty of them.
  long long sum = 0;
  int hits = 0;
  for (int seq = 1; seq <= 958; seq += 33) {
    sum += static_cast<long long>(nth(seq - 1).size());
    hits += (seq - 1) % 4 == 0;
  }
  probe_row p;
  ASSERT_TRUE(parse_probe(kq_probe_folder("Thousand"), p));
  EXPECT_EQ(p.total_messages, 1000);
  EXPECT_EQ(p.sampled, 30);
  EXPECT_EQ(p.total_bytes, sum);
  EXPECT_EQ(p.estimated_bytes, static_cast<long long>(1000.0 * static_cast<double>(sum) / 30));
  EXPECT_DOUBLE_EQ(p.pct, std::round(hits * 1000.0 / 30) / 10);
  EXPECT_EQ(p.uid_min, 1);
  EXPECT_EQ(p.uid_max, 1000);
  EXPECT_EQ(p.oldest, "");
  EXPECT_EQ(p.newest, "");
}

TEST_F(Probe, GappedFolderEstimateStaysRight) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.create_folder(user_, "Gapped"));
  std::vector<kqtest::DovecotServer::Message> m;
  const std::string same = message("g@x", "h@y", "same size", "text/plain", std::string(500, 'g'));
  for (int i = 0; i < 200; ++i) m.push_back({same, 0, ""});
  ASSERT_EQ(dv.append_many(user_, "Gapped", m).size(), 200u);
  // Keep every fourth message: three of four UIDs between the ends are gone.
  ASSERT_EQ(dv.doveadm({"expunge", "-u", user_, "mailbox", "Gapped", "NOT", "uid",
                        "1,5,9,13,17,21,25,29,33,37,41,45,49,53,57,61,65,69,73,77,81,85,89,93,"
                        "97,101,105,109,113,117,121,125,129,133,137,141,145,149,153,157,161,165,"
                        "169,173,177,181,185,189,193,197"}),
            0)
      << dv.last_error();
  ASSERT_EQ(dv.uids(user_, "Gapped").size(), 50u);
  probe_row p;
  ASSERT_TRUE(parse_probe(kq_probe_folder("Gapped"), p));
  EXPECT_EQ(p.total_messages, 50);
  EXPECT_EQ(p.sampled, 30);
  EXPECT_EQ(p.total_bytes, 30 * static_cast<long long>(same.size()));
  EXPECT_EQ(p.estimated_bytes, 50 * static_cast<long long>(same.size()));
  EXPECT_EQ(p.uid_min, 1);
  EXPECT_EQ(p.uid_max, 197);
}

TEST_F(Probe, AttachmentShare) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.create_folder(user_, "Some Attachments"));
  std::vector<kqtest::DovecotServer::Message> m;
  // 3 of 7: 42.9 percent; a name= parameter counts as an attachment too.
  for (int i = 0; i < 7; ++i) {
    std::string ctype = i == 1 || i == 4 ? "mixed" : i == 6 ? "image/png; name=\"p.png\"" : "text/plain";
    m.push_back({message("a@x", "b@y", "s" + std::to_string(i), ctype), 0, ""});
  }
  ASSERT_EQ(dv.append_many(user_, "Some Attachments", m).size(), 7u);
  const char *text = kq_probe_folder("Some Attachments");
  probe_row p;
  ASSERT_TRUE(parse_probe(text, p)) << text;
  EXPECT_EQ(p.sampled, 7);
  EXPECT_NE(std::string(text).find("\"attachment_pct\":42.9,"), std::string::npos) << text;
}

TEST_F(Probe, FailureTexts) {
  EXPECT_STREQ(kq_probe_folder(nullptr), "");
  EXPECT_STREQ(kq_last_error(), "no folder");
  EXPECT_STREQ(kq_probe_folder(""), "");
  EXPECT_STREQ(kq_last_error(), "no folder");
  EXPECT_STREQ(kq_probe_folder("Nope"), "");
  // The server's own reason follows the name.
  EXPECT_TRUE(std::string(kq_last_error()).starts_with("cannot open mailbox Nope: Mailbox doesn't exist"))
      << kq_last_error();
  kq_disconnect();
  EXPECT_STREQ(kq_probe_folder("Thousand"), "");
  EXPECT_STREQ(kq_last_error(), "not connected");
}

TEST_F(Probe, FolderNameIsAJsonString) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.create_folder(user_, "a\\b \"c\""));
  std::string text = kq_probe_folder("a\\b \"c\"");
  EXPECT_EQ(text.rfind("{\"folder\":\"a\\\\b \\\"c\\\"\",\"total_messages\":0,", 0), 0u) << text;
}
