// Incremental batch runs against the real server: the folder's UIDs come in
// one command, and only messages the archive lacks are fetched (rows and
// bodies); a damaged file or a changed UIDVALIDITY still gets its messages
// fetched again. Also: an export after a search does not open the folder
// again.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "connection/imap.h"
#include "kerquill.h"
#include "support/dovecot_server.h"

namespace fs = std::filesystem;

namespace {

const std::string k_pass = "incr-pass";
constexpr long long k_date0 = 1709632800;  // 2024-03-05

std::string message(int n) {
  return "From: S <s@example.org>\r\nTo: r@example.org\r\nSubject: incremental " + std::to_string(n) +
         "\r\nDate: Tue, 5 Mar 2024 10:00:00 +0000\r\n\r\nBody " + std::to_string(n) + "\r\n";
}

long long stat_num(const char *key) {
  kq::json_doc d;
  if (!d.parse(std::string(kq_export_stats_json()))) return -99;
  return kq::json_num(d.root(), key, -99);
}

std::vector<std::string> lines_of(const fs::path &file) {
  std::vector<std::string> out;
  std::ifstream f(file);
  for (std::string l; std::getline(f, l);) out.push_back(l);
  return out;
}

// UIDs the manifest lists, each as often as it is listed.
std::multiset<unsigned> manifest_uids(const fs::path &dir) {
  std::multiset<unsigned> out;
  for (const std::string &l : lines_of(dir / "manifest.jsonl")) {
    kq::json_doc d;
    if (d.parse(l)) out.insert(static_cast<unsigned>(kq::json_num(d.root(), "uid", 0)));
  }
  return out;
}

class BatchIncremental : public ::testing::Test {
 protected:
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  std::string user;
  fs::path dir;

  void SetUp() override {
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user = dv.unique_user("incr");
    ASSERT_TRUE(dv.add_user(user, k_pass));
    ASSERT_TRUE(dv.create_folder(user, "Box"));
    dir = fs::temp_directory_path() / ("kq-incr-" + user);
    fs::remove_all(dir);
    connect();
  }
  void TearDown() override {
    kq_disconnect();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  void connect() { ASSERT_EQ(kq_connect(kqtest::connect_json(user, k_pass, false).c_str()), 0) << kq_last_error(); }

  std::vector<unsigned> add(int from, int n) {
    std::vector<kqtest::DovecotServer::Message> m;
    for (int i = from; i < from + n; ++i) m.push_back({message(i), k_date0 + i, ""});
    return dv.append_many(user, "Box", m);
  }

  // Runs the batch over "Box"; the commands it sent.
  std::uint64_t run_batch() {
    std::uint64_t before = kq::cmd_sent_total();
    std::string cfg = "{\"dir\":" + kqtest::json_quote(dir.string()) + ",\"folders\":[\"Box\"]}";
    EXPECT_EQ(kq_export_all_folders(cfg.c_str()), 0) << kq_last_error();
    std::string st;
    for (int i = 0; i < 6000; ++i) {
      st = kq_export_all_status_json();
      if (st.find("\"state\":1,") == std::string::npos) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(st.find("\"state\":2,"), std::string::npos) << st << " " << kq_last_error();
    return kq::cmd_sent_total() - before;
  }
  fs::path box() const { return dir / "Box"; }
};

}  // namespace

TEST_F(BatchIncremental, RerunFetchesOnlyWhatIsNewAndNothingTwice) {
  // Enough messages that rows fetched for all of them would take several
  // commands.
  std::vector<unsigned> first = add(0, 1200);
  ASSERT_EQ(first.size(), 1200u);
  run_batch();
  ASSERT_EQ(manifest_uids(box()).size(), 1200u);
  EXPECT_EQ(stat_num("done"), 1200);

  // Nothing new: EXAMINE and the UID search, no row and no body fetched.
  auto manifest = lines_of(box() / "manifest.jsonl");
  std::uint64_t sent = run_batch();
  EXPECT_EQ(sent, 2u);
  EXPECT_EQ(stat_num("done"), 0);
  EXPECT_EQ(stat_num("total"), 0);
  EXPECT_EQ(lines_of(box() / "manifest.jsonl"), manifest);

  // Three new messages and one of the old ones expunged: exactly the new
  // ones are stored, each once, the old archive left as it was.
  ASSERT_TRUE(dv.expunge(user, "Box", first[1]));
  std::vector<unsigned> added = add(1200, 3);
  ASSERT_EQ(added.size(), 3u);
  sent = run_batch();
  // EXAMINE, UID search, the flags changed since the last run (the expunge
  // and the new messages moved HIGHESTMODSEQ), one row fetch, one body fetch.
  EXPECT_EQ(sent, 5u);
  EXPECT_EQ(stat_num("done"), 3);
  EXPECT_EQ(stat_num("total"), 3);
  std::multiset<unsigned> want(first.begin(), first.end());
  want.insert(added.begin(), added.end());
  EXPECT_EQ(manifest_uids(box()), want);
  for (unsigned uid : added) {
    bool found = false;
    for (const auto &e : fs::recursive_directory_iterator(box()))
      if (e.path().filename().string().find("uid-" + std::to_string(uid) + ".eml") != std::string::npos) {
        std::ifstream f(e.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes, dv.fetch_raw(user, "Box", uid));
        found = true;
      }
    EXPECT_TRUE(found) << uid;
  }
  EXPECT_EQ(kq_verify_dir(box().string().c_str()), 0) << kq_last_error();
}

TEST_F(BatchIncremental, StoredFileGoneIsFetchedAgainInTheSameRun) {
  std::vector<unsigned> uids = add(0, 4);
  ASSERT_EQ(uids.size(), 4u);
  run_batch();
  // The third message's file disappears: the archive no longer holds it,
  // though resume.json still lists it.
  fs::path gone;
  for (const auto &e : fs::recursive_directory_iterator(box()))
    if (e.path().filename() == "uid-" + std::to_string(uids[2]) + ".eml") gone = e.path();
  ASSERT_FALSE(gone.empty());
  fs::remove(gone);
  run_batch();
  EXPECT_EQ(stat_num("done"), 1);
  ASSERT_TRUE(fs::exists(gone));
  EXPECT_EQ(manifest_uids(box()), std::multiset<unsigned>(uids.begin(), uids.end()));
  EXPECT_EQ(kq_verify_dir(box().string().c_str()), 0) << kq_last_error();
}

TEST_F(BatchIncremental, ChangedUidvalidityFetchesEverythingAgain) {
  ASSERT_EQ(add(0, 3).size(), 3u);
  run_batch();
  kqtest::DovecotServer::Status st;
  ASSERT_TRUE(dv.status(user, "Box", &st));
  kq_disconnect();
  ASSERT_TRUE(dv.set_uidvalidity(user, "Box", st.uidvalidity + 1000));
  connect();
  run_batch();
  // The same UIDs name other messages now: none counts as stored.
  EXPECT_EQ(stat_num("done"), 3);
  EXPECT_NE(std::string(kq_export_stats_json()).find("\"recreated\":true"), std::string::npos)
      << kq_export_stats_json();
  EXPECT_EQ(manifest_uids(box()).size(), 6u);
  // A run after that finds everything of the new generation stored.
  EXPECT_EQ(run_batch(), 2u);
  EXPECT_EQ(stat_num("done"), 0);
}

TEST_F(BatchIncremental, ExportAfterASearchOfTheFolderDoesNotOpenItAgain) {
  ASSERT_EQ(add(0, 3).size(), 3u);
  ASSERT_EQ(kq_search("Box", nullptr), 0) << kq_last_error();
  ASSERT_EQ(kq_search_count(), 3);
  std::uint64_t before = kq::cmd_sent_total();
  std::string cfg = "{\"dir\":" + kqtest::json_quote(dir.string()) + "}";
  ASSERT_EQ(kq_export_start(cfg.c_str()), 0) << kq_last_error();
  for (int i = 0; i < 6000 && kq_export_status() == 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(kq_export_status(), 2) << kq_last_error();
  EXPECT_EQ(kq::cmd_sent_total() - before, 1u);  // the bodies, nothing else
  EXPECT_EQ(stat_num("done"), 3);
}
