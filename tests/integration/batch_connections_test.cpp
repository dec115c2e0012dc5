// A batch spread over several connections against the real server: the
// same archives as on one connection, nothing twice on a re-run, a cancel
// that stops every connection, and a server that allows the user fewer
// logins than asked for.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "kerquill.h"
#include "support/dovecot_server.h"

namespace fs = std::filesystem;

namespace {

const std::string k_pass = "lanes-pass";
constexpr long long k_date0 = 1709632800;  // 2024-03-05
constexpr int k_folders = 12;

std::string folder_name(int f) { return "Lane" + std::to_string(f); }

std::string message(const std::string &folder, int n) {
  return "From: S <s@example.org>\r\nTo: r@example.org\r\nSubject: " + folder + " number " + std::to_string(n) +
         "\r\nDate: Tue, 5 Mar 2024 10:00:00 +0000\r\n\r\nBody of " + folder + " number " + std::to_string(n) +
         "\r\n";
}

// One archived message as its manifest line names it.
struct archived {
  unsigned uid = 0;
  std::string sha256;
  std::string subject;
  bool operator<(const archived &o) const { return uid < o.uid; }
};

// The message lines of a folder's manifest (flag lines name no file).
std::vector<archived> manifest_of(const fs::path &dir) {
  std::vector<archived> out;
  std::ifstream f(dir / "manifest.jsonl");
  for (std::string line; std::getline(f, line);) {
    kq::json_doc d;
    if (!d.parse(line) || !kq::json_str(d.root(), "file")) continue;
    archived a;
    a.uid = static_cast<unsigned>(kq::json_num(d.root(), "uid", 0));
    const char *sha = kq::json_str(d.root(), "sha256");
    const char *subject = kq::json_str(d.root(), "subject");
    a.sha256 = sha ? sha : "";
    a.subject = subject ? subject : "";
    out.push_back(a);
  }
  return out;
}

std::multiset<std::string> digests(const std::vector<archived> &m) {
  std::multiset<std::string> out;
  for (const archived &a : m) out.insert(a.sha256);
  return out;
}

long long status_num(const std::string &text, const char *key) {
  kq::json_doc d;
  if (!d.parse(text)) return -99;
  return kq::json_num(d.root(), key, -99);
}

// Waits for the batch to leave state 1 (a loaded machine gets minutes).
std::string wait_batch_end() {
  std::string st;
  for (int i = 0; i < 30000; ++i) {
    st = kq_export_all_status_json();
    if (st.find("\"state\":1,") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return st;
}

class BatchConnections : public ::testing::Test {
 protected:
  kqtest::DovecotServer &dv = kqtest::shared_dovecot();
  std::string user;
  fs::path root;
  // Folder name -> UIDs on the server.
  std::map<std::string, std::vector<unsigned>> uids;

  void SetUp() override { ASSERT_TRUE(dv.running()) << dv.start_error(); }
  void TearDown() override {
    kq_export_cancel();
    for (int i = 0; i < 3000 && std::string(kq_export_all_status_json()).find("\"state\":1,") != std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kq_disconnect();
    std::error_code ec;
    if (!root.empty()) fs::remove_all(root, ec);
  }

  // A user with k_folders folders, folder f holding 3 + f messages times
  // `scale`; connected.
  void make_account(const std::string &hint, int scale) { make_account_on(dv, hint, scale); }
  void make_account_on(kqtest::DovecotServer &server, const std::string &hint, int scale) {
    user = server.unique_user(hint);
    ASSERT_TRUE(server.add_user(user, k_pass));
    root = fs::temp_directory_path() / ("kq-lanes-" + user);
    fs::remove_all(root);
    for (int f = 0; f < k_folders; ++f) {
      std::string name = folder_name(f);
      ASSERT_TRUE(server.create_folder(user, name));
      std::vector<kqtest::DovecotServer::Message> m;
      for (int n = 0; n < (3 + f) * scale; ++n) m.push_back({message(name, n), k_date0 + n, ""});
      uids[name] = server.append_many(user, name, m);
      ASSERT_EQ(uids[name].size(), m.size());
    }
    ASSERT_EQ(kq_connect(server.connect_json(user, k_pass, false).c_str()), 0) << kq_last_error();
  }

  int start(const fs::path &dir, int connections) {
    std::string folders;
    for (int f = 0; f < k_folders; ++f) folders += (f ? "," : "") + kqtest::json_quote(folder_name(f));
    std::string cfg = "{\"dir\":" + kqtest::json_quote(dir.string()) + ",\"folders\":[" + folders +
                      "],\"connections\":" + std::to_string(connections) + "}";
    return kq_export_all_folders(cfg.c_str());
  }

  std::string run(const fs::path &dir, int connections) {
    EXPECT_EQ(start(dir, connections), 0) << kq_last_error();
    return wait_batch_end();
  }

  // Every folder's messages exactly once, each in its own folder's
  // subdirectory.
  void expect_whole(const fs::path &dir) {
    for (const auto &[name, want] : uids) {
      std::vector<archived> got = manifest_of(dir / name);
      std::multiset<unsigned> got_uids;
      for (const archived &a : got) {
        got_uids.insert(a.uid);
        EXPECT_EQ(a.subject.rfind(name + " number ", 0), 0u) << name << ": " << a.subject;
      }
      EXPECT_EQ(got_uids, std::multiset<unsigned>(want.begin(), want.end())) << name;
    }
  }
};

}  // namespace

TEST_F(BatchConnections, FourConnectionsArchiveWhatOneDoesAndARerunAddsNothing) {
  make_account("lanes", 1);
  fs::path one = root / "one", four = root / "four";
  std::string st = run(one, 1);
  ASSERT_NE(st.find("\"state\":2,"), std::string::npos) << st;
  // One connection asked for: the status reads as it always did.
  EXPECT_EQ(st.find("\"connections\""), std::string::npos) << st;

  st = run(four, 4);
  ASSERT_NE(st.find("\"state\":2,"), std::string::npos) << st;
  EXPECT_EQ(status_num(st, "connections"), 4) << st;
  EXPECT_EQ(status_num(st, "done_folders"), k_folders) << st;
  expect_whole(one);
  expect_whole(four);
  for (int f = 0; f < k_folders; ++f) {
    std::string name = folder_name(f);
    EXPECT_EQ(digests(manifest_of(four / name)), digests(manifest_of(one / name))) << name;
  }

  // Nothing new on the server: nothing new in any archive.
  std::map<std::string, std::size_t> lines;
  for (const auto &[name, want] : uids) lines[name] = fs::file_size(four / name / "manifest.jsonl");
  st = run(four, 4);
  ASSERT_NE(st.find("\"state\":2,"), std::string::npos) << st;
  EXPECT_EQ(status_num(st, "done_folders"), k_folders) << st;
  for (const auto &[name, size] : lines) EXPECT_EQ(fs::file_size(four / name / "manifest.jsonl"), size) << name;
  expect_whole(four);
}

TEST_F(BatchConnections, CancelStopsEveryConnectionAndTheNextBatchRuns) {
  make_account("lanecancel", 40);
  fs::path dir = root / "a";
  ASSERT_EQ(start(dir, 4), 0) << kq_last_error();
  // Cancelled once some folder is under way.
  std::string st;
  for (int i = 0; i < 30000; ++i) {
    st = kq_export_all_status_json();
    if (st.find("\"running\"") != std::string::npos || st.find("\"state\":1,") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(kq_export_cancel(), 0);
  st = wait_batch_end();
  // A run that got through before the cancel landed is done; otherwise it
  // ends failed, naming the cancel.
  if (st.find("\"state\":2,") == std::string::npos) {
    EXPECT_NE(st.find("\"state\":4,"), std::string::npos) << st;
    EXPECT_NE(st.find("cancelled"), std::string::npos) << st;
  }
  // Every connection let go: the next batch starts, and completes what the
  // cancelled one left, nothing twice.
  int rc = -1;
  for (int i = 0; i < 1000 && (rc = start(dir, 4)) != 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(rc, 0) << kq_last_error();
  st = wait_batch_end();
  ASSERT_NE(st.find("\"state\":2,"), std::string::npos) << st;
  expect_whole(dir);
}

TEST_F(BatchConnections, AServerAllowingTwoLoginsGetsARunOnTwo) {
  kqtest::DovecotServer strict;
  strict.set_max_user_connections(2);
  std::string err;
  ASSERT_TRUE(strict.start(&err)) << err;
  make_account_on(strict, "lanelimit", 1);
  fs::path dir = root / "a";
  std::string st = run(dir, 4);
  ASSERT_NE(st.find("\"state\":2,"), std::string::npos) << st;
  EXPECT_EQ(status_num(st, "connections"), 2) << st;
  EXPECT_EQ(status_num(st, "done_folders"), k_folders) << st;
  for (int f = 0; f < k_folders; ++f) EXPECT_NE(st.find("\"" + folder_name(f) + "\":\"done\""), std::string::npos) << st;
  expect_whole(dir);
}
