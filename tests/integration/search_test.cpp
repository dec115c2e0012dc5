// kq_search against the real server: every criterion alone and combined,
// checked against a model of what was put into the folder; gapped folders,
// UIDs far above the message count, the failure texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "connection/imap.h"
#include "mailbox_test_util.h"
#include "base/strcase.h"
#include "search/search.h"

using namespace kqsearch;

namespace {

struct model_msg {
  model_msg(std::string f, std::string t, std::string s, std::string c, std::string b, long long d,
            int a)
      : from(std::move(f)), to(std::move(t)), subject(std::move(s)), ctype(std::move(c)),
        body(std::move(b)), date(d), att(a) {}
  std::string from, to, subject, ctype, body;
  long long date;
  int att;  // the state the search must detect
  unsigned uid = 0;
  long long bytes = 0;
  std::string raw;
};

constexpr long long k_jan10 = 1704880800;  // 2024-01-10 10:00:00 UTC
constexpr long long k_mar01 = 1709251200;  // 2024-03-01 00:00:00 UTC

std::vector<model_msg> model() {
  return {
      {"Alice <alice@example.org>", "bob@example.com", "Quarterly Report", "text/plain", "q\r\n",
       k_jan10, 0},
      {"\"Bob\" <BOB@example.com>", "Alice <alice@example.org>", "Re: quarterly report", "mixed",
       "see pdf\r\n", k_jan10 + 36 * 86400, 1},
      {"carol@example.net", "team@example.com", "Lunch menu", "alternative", "menu\r\n", k_mar01, 0},
      {"dave@example.net", "bob@example.com", "Folded\r\n subject line", "text/plain", "f\r\n",
       k_mar01 - 1, 0},
      {"erin@example.org", "alice@example.org", "Large scan", "text/plain",
       std::string(20000, 'x') + "\r\n", k_mar01 + 86400, 0},
      {"frank@example.org", "team@example.com", "The attachment you asked for", "text/plain",
       "none here\r\n", k_mar01 + 2 * 86400, 0},  // the subject is no attachment
      {"grace@example.org", "bob@example.com", "Scan", "application/pdf; name=\"scan.pdf\"",
       "JVBERi0=\r\n", k_mar01 + 3 * 86400, 1},
      // A text part the sender marked as a file to save.
      {"henry@example.org", "team@example.com", "Notes",
       "text/plain\r\nContent-Disposition: attachment; filename=\"notes.txt\"", "n\r\n",
       k_mar01 + 4 * 86400, 1},
      {"old@example.org", "bob@example.com", "Ancient", "text/plain", "old\r\n", 915148800, 0},
  };
}

class Search : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto &dv = kqtest::shared_dovecot();
    if (!dv.running()) return;
    user_ = fresh_user("search");
    msgs_ = model();
    std::vector<kqtest::DovecotServer::Message> m;
    for (auto &x : msgs_) {
      x.raw = message(x.from, x.to, x.subject, x.ctype, x.body);
      x.bytes = static_cast<long long>(x.raw.size());
      m.push_back({x.raw, x.date, ""});
    }
    ASSERT_TRUE(dv.create_folder(user_, "Mixed"));
    std::vector<unsigned> uids = dv.append_many(user_, "Mixed", m);
    ASSERT_EQ(uids.size(), msgs_.size());
    for (std::size_t i = 0; i < uids.size(); ++i) msgs_[i].uid = uids[i];
    ASSERT_TRUE(dv.create_folder(user_, "Empty"));
  }

  void SetUp() override {
    auto &dv = kqtest::shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(login(user_), 0) << kq_last_error();
  }

  // UIDs the model says the criteria keep.
  static std::vector<unsigned> expected(const std::function<bool(const model_msg &)> &keep) {
    std::vector<unsigned> out;
    for (const auto &m : msgs_)
      if (keep(m)) out.push_back(m.uid);
    return out;
  }

  static std::vector<unsigned> run(const char *criteria) {
    EXPECT_EQ(kq_search("Mixed", criteria), 0) << criteria << ": " << kq_last_error();
    return result_uids();
  }

  static bool has(const std::string &field, const char *word) {
    return kq::kq_strcasestr(field.c_str(), word) != nullptr;
  }

  static std::string user_;
  static std::vector<model_msg> msgs_;
};
std::string Search::user_;
std::vector<model_msg> Search::msgs_;

}  // namespace

TEST_F(Search, NoCriteriaGivesEveryMessageWithItsFields) {
  for (const char *c : {"", "{}", "null", "[1,2]", "not json", "{\"unknown\":1}"}) {
    EXPECT_EQ(run(c), expected([](const model_msg &) { return true; })) << c;
  }
  EXPECT_EQ(kq_search("Mixed", nullptr), 0);
  ASSERT_EQ(kq_search_count(), static_cast<int>(msgs_.size()));
  EXPECT_STREQ(kq_last_error(), "");
  for (int i = 0; i < kq_search_count(); ++i) {
    const model_msg &m = msgs_[static_cast<std::size_t>(i)];
    EXPECT_EQ(kq_search_field(i, "from"), m.from);
    EXPECT_EQ(kq_search_field(i, "to"), m.to);
    EXPECT_EQ(kq_search_field(i, "bytes"), std::to_string(m.bytes));
    EXPECT_EQ(kq_search_field(i, "has_attachments"), std::to_string(m.att)) << m.subject;
    EXPECT_EQ(kq::internaldate_ts(kq_search_field(i, "date")), m.date) << kq_search_field(i, "date");
  }
  // Folded subjects come back whole; the date text is the server's own.
  EXPECT_STREQ(kq_search_field(3, "subject"), "Folded subject line");
  EXPECT_STREQ(kq_search_field(0, "date"), "10-Jan-2024 10:00:00 +0000");
}

TEST_F(Search, DatesSinceAndBefore) {
  EXPECT_EQ(run(R"({"since":"2024-03-01"})"),
            expected([](const model_msg &m) { return m.date >= k_mar01; }));
  EXPECT_EQ(run(R"({"before":"2024-03-01"})"),
            expected([](const model_msg &m) { return m.date < k_mar01; }));
  EXPECT_EQ(run(R"({"since":"2024-01-01","before":"2024-03-02"})"),
            expected([](const model_msg &m) { return m.date >= 1704067200 && m.date < k_mar01 + 86400; }));
  EXPECT_TRUE(run(R"({"since":"2024-03-01","before":"2024-03-01"})").empty());
  // A pre-1970 day is a day like any other; an unreadable or impossible one
  // is refused and leaves the previous result.
  EXPECT_EQ(run(R"({"since":"1960-01-01"})").size(), msgs_.size());
  EXPECT_TRUE(run(R"({"before":"1960-01-01"})").empty());
  for (const char *bad : {R"({"since":"March"})", R"({"since":"2024-13-01"})"}) {
    EXPECT_EQ(kq_search("Mixed", bad), -1) << bad;
    EXPECT_STREQ(kq_last_error(), "bad criteria: since");
    EXPECT_EQ(kq_search_count(), 0) << "the previous search found nothing";
  }
}

TEST_F(Search, HeaderSubstringsInAnyCase) {
  EXPECT_EQ(run(R"({"from":"BOB@EXAMPLE"})"),
            expected([](const model_msg &m) { return has(m.from, "bob@example"); }));
  EXPECT_EQ(run(R"({"to":"Alice"})"),
            expected([](const model_msg &m) { return has(m.to, "alice"); }));
  EXPECT_EQ(run(R"({"subject":"QUARTERLY report"})"),
            expected([](const model_msg &m) { return has(m.subject, "quarterly report"); }));
  // Matches across a fold: the value is the unfolded field.
  EXPECT_EQ(run(R"({"subject":"subject line"})"), std::vector<unsigned>{msgs_[3].uid});
  EXPECT_TRUE(run(R"({"subject":"no such words"})").empty());
  EXPECT_EQ(run(R"({"from":""})").size(), msgs_.size());
}

TEST_F(Search, SizeAndAttachmentStates) {
  EXPECT_EQ(run(R"({"min_bytes":10000})"),
            expected([](const model_msg &m) { return m.bytes >= 10000; }));
  EXPECT_EQ(kq_search("Mixed", R"({"min_bytes":"big"})"), -1);
  EXPECT_STREQ(kq_last_error(), "bad criteria: min_bytes");
  EXPECT_EQ(run(R"({"has_attachments":1})"),
            expected([](const model_msg &m) { return m.att == 1; }));
  EXPECT_EQ(run(R"({"has_attachments":0})"),
            expected([](const model_msg &m) { return m.att == 0; }));
  EXPECT_EQ(run(R"({"has_attachments":true})"), run(R"({"has_attachments":1})"));
  EXPECT_EQ(run(R"({"has_attachments":false})"), run(R"({"has_attachments":0})"));
  EXPECT_EQ(run(R"({"has_attachments":-1})").size(), msgs_.size());
}

TEST_F(Search, UidRange) {
  unsigned u2 = msgs_[2].uid, u5 = msgs_[5].uid;
  std::string c = "{\"uid_min\":" + std::to_string(u2) + ",\"uid_max\":" + std::to_string(u5) + "}";
  EXPECT_EQ(run(c.c_str()),
            expected([&](const model_msg &m) { return m.uid >= u2 && m.uid <= u5; }));
  c = "{\"uid_min\":" + std::to_string(u5) + ",\"uid_max\":" + std::to_string(u2) + "}";
  EXPECT_TRUE(run(c.c_str()).empty());
  // UID 0 is refused by the server: the scan ends at once, still a success.
  EXPECT_EQ(kq_search("Mixed", R"({"uid_min":"first"})"), -1);
  EXPECT_STREQ(kq_last_error(), "bad criteria: uid_min");
  EXPECT_TRUE(run(R"({"uid_min":0})").empty());
  EXPECT_EQ(run(R"({"uid_max":4294967295})").size(), msgs_.size());
}

TEST_F(Search, CriteriaCombined) {
  EXPECT_EQ(run(R"({"to":"bob@","since":"2024-02-01","has_attachments":-1})"),
            expected([](const model_msg &m) { return has(m.to, "bob@") && m.date >= 1706745600; }));
  EXPECT_EQ(run(R"({"from":"example.org","min_bytes":1000,"before":"2024-03-05"})"),
            expected([](const model_msg &m) {
              return has(m.from, "example.org") && m.bytes >= 1000 && m.date < k_mar01 + 4 * 86400;
            }));
  std::string c = "{\"to\":\"alice\",\"has_attachments\":1,\"uid_min\":" +
                  std::to_string(msgs_[1].uid) + ",\"subject\":\"RE:\"}";
  EXPECT_EQ(run(c.c_str()), std::vector<unsigned>{msgs_[1].uid});
}

TEST_F(Search, EmptyFolderSendsNoFetch) {
  ASSERT_EQ(kq_search("Mixed", nullptr), 0);
  ASSERT_GT(kq_search_count(), 0);
  std::uint64_t before = kq::cmd_sent_total();
  EXPECT_EQ(kq_search("Empty", "{}"), 0);
  EXPECT_EQ(kq::cmd_sent_total() - before, 1u);  // EXAMINE only
  EXPECT_EQ(kq_search_count(), 0);
  EXPECT_STREQ(kq_search_field(0, "uid"), "");
}

TEST_F(Search, FailuresKeepThePreviousResult) {
  ASSERT_EQ(kq_search("Mixed", R"({"has_attachments":1})"), 0);
  std::vector<unsigned> before = result_uids();
  ASSERT_FALSE(before.empty());
  EXPECT_EQ(kq_search("No Such Folder", nullptr), -1);
  EXPECT_TRUE(std::string(kq_last_error()).starts_with("cannot open mailbox No Such Folder: Mailbox doesn't exist"))
      << kq_last_error();
  EXPECT_EQ(kq_search("", nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "no folder");
  EXPECT_EQ(kq_search(nullptr, nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "no folder");
  kq_disconnect();
  EXPECT_EQ(kq_search("Mixed", nullptr), -1);
  EXPECT_STREQ(kq_last_error(), "not connected");
  EXPECT_EQ(result_uids(), before);
}

// Folders whose UIDs have holes or start far above the message count.
class SearchUidLayout : public ::testing::Test {
 protected:
  void SetUp() override {
    auto &dv = kqtest::shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    if (user_.empty()) user_ = fresh_user("layout");
    ASSERT_EQ(login(user_), 0) << kq_last_error();
  }
  static std::vector<kqtest::DovecotServer::Message> messages(int n) {
    std::vector<kqtest::DovecotServer::Message> m;
    for (int i = 0; i < n; ++i)
      m.push_back({message("s@x", "r@y", "n" + std::to_string(i)), 1700000000 + i, ""});
    return m;
  }
  static std::string user_;
};
std::string SearchUidLayout::user_;

TEST_F(SearchUidLayout, GapsCostNoRoundTrip) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.create_folder(user_, "Gapped"));
  ASSERT_EQ(dv.append_many(user_, "Gapped", messages(40)).size(), 40u);
  for (unsigned uid = 3; uid <= 40; uid += 3) ASSERT_TRUE(dv.expunge(user_, "Gapped", uid));
  ASSERT_TRUE(dv.expunge(user_, "Gapped", 40));
  std::vector<unsigned> held = dv.uids(user_, "Gapped");
  std::uint64_t before = kq::cmd_sent_total();
  ASSERT_EQ(kq_search("Gapped", nullptr), 0);
  std::uint64_t sent = kq::cmd_sent_total() - before;
  EXPECT_EQ(result_uids(), held);
  // EXAMINE and one window that brings every message there is.
  EXPECT_EQ(sent, 2u);
}

TEST_F(SearchUidLayout, UidsFarAboveTheCountAreAllFound) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.set_uid_start(user_, "High", 100000));
  ASSERT_EQ(dv.append_many(user_, "High", messages(5)).size(), 5u);
  std::vector<unsigned> held = dv.uids(user_, "High");
  ASSERT_EQ(held.front(), 100000u);
  std::uint64_t before = kq::cmd_sent_total();
  ASSERT_EQ(kq_search("High", nullptr), 0);
  EXPECT_EQ(result_uids(), held);
  // The 99999 missing UIDs below cost a handful of commands, not one each.
  EXPECT_LE(kq::cmd_sent_total() - before, 16u);
  ASSERT_EQ(kq_search("High", R"({"uid_max":100002})"), 0);
  EXPECT_EQ(result_uids(), std::vector<unsigned>(held.begin(), held.begin() + 3));
  ASSERT_EQ(kq_search("High", R"({"uid_min":100003,"uid_max":99999999999})"), 0);
  EXPECT_EQ(result_uids(), std::vector<unsigned>(held.begin() + 3, held.end()));
}

TEST_F(SearchUidLayout, EmptyStretchInTheMiddleIsJumped) {
  auto &dv = kqtest::shared_dovecot();
  ASSERT_TRUE(dv.create_folder(user_, "Sparse"));
  ASSERT_EQ(dv.append_many(user_, "Sparse", messages(2600)).size(), 2600u);
  ASSERT_EQ(dv.doveadm({"expunge", "-u", user_, "mailbox", "Sparse", "uid", "4:2597"}), 0)
      << dv.last_error();
  std::vector<unsigned> held = dv.uids(user_, "Sparse");
  ASSERT_EQ(held, (std::vector<unsigned>{1, 2, 3, 2598, 2599, 2600}));
  std::uint64_t before = kq::cmd_sent_total();
  ASSERT_EQ(kq_search("Sparse", nullptr), 0);
  EXPECT_EQ(result_uids(), held);
  EXPECT_LE(kq::cmd_sent_total() - before, 16u);
  // Starting inside the hole, before anything was seen.
  ASSERT_EQ(kq_search("Sparse", R"({"uid_min":10})"), 0);
  EXPECT_EQ(result_uids(), std::vector<unsigned>(held.begin() + 3, held.end()));
  ASSERT_EQ(kq_search("Sparse", R"({"uid_min":2,"uid_max":2598})"), 0);
  EXPECT_EQ(result_uids(), (std::vector<unsigned>{2, 3, 2598}));
}
