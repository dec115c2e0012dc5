// Export against a scripted server: answers no real server gives on demand.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "export/export_one.h"
#include "export/export_job.h"
#include "export_support.h"
#include "support/script_server.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

std::string fetch_reply(int seq, unsigned uid, const std::string &body) {
  return "* " + std::to_string(seq) + " FETCH (UID " + std::to_string(uid) + " BODY[] {" +
         std::to_string(body.size()) + "}\r\n" + body + ")\r\n";
}

// Greeting, CAPABILITY, LOGIN and EXAMINE, as the library sends them.
void login_and_examine(ScriptServer &s) {
  s.send("* OK scripted\r\n")
      .expect_line()
      .send("* CAPABILITY IMAP4rev1\r\n")
      .send_tagged("OK done")
      .expect_line()
      .send_tagged("OK logged in")
      .expect_line()
      .send("* 9 EXISTS\r\n")
      .send_tagged("OK [READ-ONLY] done");
}

// The fresh search that asks whether UIDs left unanswered are still there:
// `found` is what the server says it holds of them.
void confirm(ScriptServer &s, const std::string &found) {
  s.expect_line().send("* SEARCH" + (found.empty() ? "" : " " + found) + "\r\n").send_tagged("OK searched");
}

}  // namespace

std::string connect_to(const ScriptServer &s) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(s.port()) +
         ",\"ssl\":0,\"user\":\"u\",\"pass\":\"p\"}";
}

// A literal that belongs to another message is never stored as this one:
// the attempt fails and the retry stores the right message.
TEST(ExportScript, LiteralOfAnotherUidIsNotStored) {
  std::string wrong = make_message(6, 500, "not the one asked for");
  std::string right = make_message(5, 700, "the one asked for");
  ScriptServer s;
  login_and_examine(s);
  s.expect_line().send(fetch_reply(2, 6, wrong)).send_tagged("OK done");
  confirm(s, "5");
  s.expect_line().send(fetch_reply(1, 5, right)).send_tagged("OK done");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", {{5, right, 1600000000}});
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  EXPECT_EQ(read_all(d.file("uid-5.eml")), right);
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].sha256, kq::sha256_hex(right.data(), right.size()));
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_NE(got[2].find("EXAMINE \"INBOX\""), std::string::npos) << got[2];
  EXPECT_NE(got[3].find(" UID FETCH 5 (FLAGS BODY.PEEK[])"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID SEARCH UID 5"), std::string::npos) << got[4];
  EXPECT_NE(got[5].find(" UID FETCH 5 (FLAGS BODY.PEEK[])"), std::string::npos) << got[5];
  kq_disconnect();
}

// A message the server still lists but answers without a body, every time:
// not counted as vanished; asked again until the rounds are spent, then the
// job ends in error naming it.
TEST(ExportScript, AnswerWithoutBodyIsAskedAgainThenNamed) {
  ScriptServer s;
  login_and_examine(s);
  s.expect_line().send("* 1 FETCH (UID 5 BODY[] NIL)\r\n").send_tagged("OK done");
  for (int round = 0; round < 3; ++round) {
    confirm(s, "5");
    s.expect_line().send("* 1 FETCH (UID 5 BODY[] NIL)\r\n").send_tagged("OK done");
  }
  confirm(s, "5");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", {{5, "x", 1600000000}});
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 4);
  EXPECT_EQ(job_error().rfind("1 message could not be fetched: UID 5", 0), 0u) << kq_export_stats_json();
  EXPECT_EQ(std::string(kq_export_stats_json()).find("vanished"), std::string::npos) << kq_export_stats_json();
  EXPECT_FALSE(std::filesystem::exists(d.file("uid-5.eml")));
  EXPECT_EQ(read_all(d.file("manifest.jsonl")), "");
  s.stop();
  EXPECT_TRUE(s.errors().empty()) << s.errors().front();
  kq_disconnect();
}

namespace {

// Messages of this size go one to a command, so several commands are in
// flight at once.
constexpr std::size_t k_big = 600 * 1024;

stored scripted(unsigned uid, std::size_t size) {
  return stored{uid, make_message(static_cast<int>(uid), size, "message " + std::to_string(uid)),
                1600000000LL + uid};
}

// Records the tag of the line just received, for answers sent later.
std::function<std::string(const std::string &)> keep_tag(std::vector<std::string> &tags) {
  return [&tags](const std::string &line) {
    tags.push_back(line.substr(0, line.find(' ')));
    return std::string();
  };
}

}  // namespace

// Three commands in flight; the server answers the last first, splits a
// literal across many reads and completes them out of order. Each body
// lands in its own message's file.
TEST(ExportScript, InterleavedAnswersOfCommandsInFlightLandOnTheirUids) {
  std::vector<stored> m = {scripted(5, k_big), scripted(6, k_big), scripted(9, k_big)};
  std::vector<std::string> tags;
  ScriptServer s;
  login_and_examine(s);
  s.expect_line().send_fn(keep_tag(tags)).expect_line().send_fn(keep_tag(tags)).expect_line().send_fn(keep_tag(tags));
  s.send(fetch_reply(3, 9, m[2].raw))
      .send(fetch_reply(1, 5, m[0].raw), 64 * 1024)
      .send_fn([&tags](const std::string &) { return tags.at(2) + " OK done\r\n"; })
      .send(fetch_reply(2, 6, m[1].raw))
      .send_fn([&tags](const std::string &) { return tags.at(1) + " OK done\r\n" + tags.at(0) + " OK done\r\n"; });
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", m);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_NE(got[3].find(" UID FETCH 5 (FLAGS BODY.PEEK[])"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID FETCH 6 (FLAGS BODY.PEEK[])"), std::string::npos) << got[4];
  EXPECT_NE(got[5].find(" UID FETCH 9 (FLAGS BODY.PEEK[])"), std::string::npos) << got[5];
  std::vector<entry> man = read_manifest(d.str());
  ASSERT_EQ(man.size(), 3u);
  for (const stored &x : m) {
    EXPECT_EQ(read_all(d.file("uid-" + std::to_string(x.uid) + ".eml")), x.raw) << x.uid;
    for (const entry &e : man) {
      if (e.uid == x.uid) {
        EXPECT_EQ(e.sha256, kq::sha256_hex(x.raw.data(), x.raw.size()));
      }
    }
  }
  kq_disconnect();
}

// A message expunged by another client while its ranged fetch is on the
// wire: the server reports the expunge and leaves it out, and a fresh
// search confirms it gone. The others are stored and the job ends done with
// the one counted as vanished.
TEST(ExportScript, MessageExpungedWhileItsFetchIsInFlightIsCountedVanished) {
  std::vector<stored> m = {scripted(5, 2000), scripted(6, 2000), scripted(7, 2000)};
  ScriptServer s;
  login_and_examine(s);
  s.expect_line()
      .send(fetch_reply(1, 5, m[0].raw))
      .send("* 2 EXPUNGE\r\n")
      .send(fetch_reply(2, 7, m[2].raw))
      .send_tagged("OK done");
  confirm(s, "");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", m);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  s.stop();
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_NE(got[3].find(" UID FETCH 5:7 (FLAGS BODY.PEEK[])"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID SEARCH UID 6"), std::string::npos) << got[4];
  std::string stats = kq_export_stats_json();
  EXPECT_NE(stats.find("\"done\":2,\"total\":2"), std::string::npos) << stats;
  EXPECT_NE(stats.find("\"vanished\":1}"), std::string::npos) << stats;
  EXPECT_EQ(read_all(d.file("uid-5.eml")), m[0].raw);
  EXPECT_EQ(read_all(d.file("uid-7.eml")), m[2].raw);
  EXPECT_FALSE(std::filesystem::exists(d.file("uid-6.eml")));
  kq_disconnect();
}

// The connection drops with two commands in flight, inside a literal: the
// job connects again, opens the folder, and asks for exactly what was not
// stored; it ends done and counts the reconnect.
TEST(ExportScript, ConnectionCutInsideThePipelineIsMadeGoodAgain) {
  std::vector<stored> m = {scripted(5, k_big), scripted(6, k_big), scripted(7, 2000)};
  std::vector<std::string> tags;
  ScriptServer s;
  login_and_examine(s);
  std::string torn = fetch_reply(2, 6, m[1].raw);
  s.expect_line()
      .send_fn(keep_tag(tags))
      .expect_line()
      .send(fetch_reply(1, 5, m[0].raw))
      .send_fn([&tags](const std::string &) { return tags.at(0) + " OK done\r\n"; })
      .send(torn.substr(0, torn.size() / 2))
      .close();
  login_and_examine(s);
  s.expect_line().send(fetch_reply(2, 6, m[1].raw)).send(fetch_reply(3, 7, m[2].raw)).send_tagged("OK done");
  ASSERT_TRUE(s.start());
  ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
  fill_table("INBOX", m);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  EXPECT_NE(std::string(kq_export_stats_json()).find("\"reconnects\":1"), std::string::npos)
      << kq_export_stats_json();
  s.stop();
  EXPECT_EQ(s.connections(), 2);
  std::vector<std::string> got = s.received();
  ASSERT_EQ(got.size(), 9u);
  EXPECT_NE(got[3].find(" UID FETCH 5 (FLAGS BODY.PEEK[])"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID FETCH 6:7 (FLAGS BODY.PEEK[])"), std::string::npos) << got[4];
  EXPECT_NE(got[8].find(" UID FETCH 6:7 (FLAGS BODY.PEEK[])"), std::string::npos) << got[8];
  std::vector<entry> man = read_manifest(d.str());
  ASSERT_EQ(man.size(), 3u);
  for (const stored &x : m) EXPECT_EQ(read_all(d.file("uid-" + std::to_string(x.uid) + ".eml")), x.raw) << x.uid;
  kq_disconnect();
}

// The connection drops and cannot be made again: the job ends in error with
// the connection's reason, keeps what was stored, and the next run asks
// only for the rest.
TEST(ExportScript, ConnectionThatStaysLostEndsTheJobAndTheRerunFetchesTheRest) {
  std::vector<stored> m = {scripted(5, 2000), scripted(6, 2000)};
  ScriptServer s;
  login_and_examine(s);
  s.expect_line().send(fetch_reply(1, 5, m[0].raw)).close();
  // Every attempt to connect again is turned away at the greeting.
  for (int i = 0; i < 3; ++i) s.send("* BYE too busy\r\n").close();
  ASSERT_TRUE(s.start());
  std::string cfg = connect_to(s);
  cfg.insert(cfg.size() - 1, ",\"timeout_s\":5");
  ASSERT_EQ(kq_connect(cfg.c_str()), 0) << kq_last_error();
  fill_table("INBOX", m);
  scratch_dir d;
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 4);
  EXPECT_EQ(job_error(), "connection closed by server");
  // The failure was the worker's: this thread's own last error stays as the
  // start left it.
  EXPECT_STREQ(kq_last_error(), "");
  EXPECT_EQ(s.connections(), 4);
  s.stop();
  std::vector<entry> man = read_manifest(d.str());
  ASSERT_EQ(man.size(), 1u);
  EXPECT_EQ(man[0].uid, 5u);
  EXPECT_FALSE(std::filesystem::exists(d.file("uid-6.eml")));
  kq_disconnect();

  ScriptServer again;
  login_and_examine(again);
  // The flags of what is stored are asked for first.
  again.expect_line().send("* 1 FETCH (UID 5 FLAGS ())\r\n").send_tagged("OK done");
  again.expect_line().send(fetch_reply(2, 6, m[1].raw)).send_tagged("OK done");
  ASSERT_TRUE(again.start());
  ASSERT_EQ(kq_connect(connect_to(again).c_str()), 0) << kq_last_error();
  fill_table("INBOX", m);
  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  EXPECT_EQ(wait_end(), 2) << kq_last_error();
  again.stop();
  std::vector<std::string> got = again.received();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_NE(got[3].find(" UID FETCH 5 (UID FLAGS)"), std::string::npos) << got[3];
  EXPECT_NE(got[4].find(" UID FETCH 6 (FLAGS BODY.PEEK[])"), std::string::npos) << got[4];
  man = read_manifest(d.str());
  ASSERT_EQ(man.size(), 2u);
  for (const stored &x : m) EXPECT_EQ(read_all(d.file("uid-" + std::to_string(x.uid) + ".eml")), x.raw) << x.uid;
  kq_disconnect();
}

// With the manifest off, a server whose RFC822.SIZE differs from the body
// it sends makes the stored file look damaged to every later run, which
// fetches it again; all.mbox still holds the message once.
TEST(ExportScript, MessageFetchedAgainIsNotAppendedToTheMboxTwice) {
  std::string body = make_message(5, 700, "size differs");
  scratch_dir d;
  std::string cfg = config(d.str(), "\"format\":\"mbox\",\"manifest\":0");
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    ScriptServer s;
    login_and_examine(s);
    s.expect_line().send(fetch_reply(1, 5, body)).send_tagged("OK done");
    ASSERT_TRUE(s.start());
    ASSERT_EQ(kq_connect(connect_to(s).c_str()), 0) << kq_last_error();
    auto rows = std::make_shared<kq::search_result>("INBOX");
    kq::row_draft h;
    h.uid = 5;
    h.bytes = static_cast<long long>(body.size()) + 40;  // what the server claims
    h.date = internal_date_text(1600000000);
    h.ts = 1600000000;
    rows->add(h);
    rows->settle(1);
    kq::install_result(std::move(rows));
    ASSERT_EQ(kq_export_start(cfg.c_str()), 0);
    EXPECT_EQ(wait_end(), 2) << kq_last_error();
    s.stop();
    kq_disconnect();
    std::string mbox = read_all(d.file("all.mbox"));
    std::size_t records = 0;
    for (std::size_t at = 0; (at = mbox.find("Subject: size differs", at)) != std::string::npos; ++at) ++records;
    EXPECT_EQ(records, 1u);
    EXPECT_EQ(read_all(d.file("uid-5.eml")), body);
  }
}
