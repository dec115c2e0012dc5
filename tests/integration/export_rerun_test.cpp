// Re-runs over an archive that is up to date. One that finds nothing new
// leaves every file of the archive as it was: nothing rewritten, renamed or
// touched. One that finds only changed flags appends their lines to the
// manifest and records the folder's new mod-sequence, and changes nothing
// else. And temporary files a killed run left are gone after the next run.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/resume_file.h"
#include "export_support.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace fs = std::filesystem;

namespace {

constexpr const char *k_pass = "pw-rerun";
const std::string k_folder = "Rerun";

struct file_state {
  std::string bytes;
  fs::file_time_type mtime;
  bool operator==(const file_state &) const = default;
};

// Every regular file below dir with its bytes and modification time.
std::map<std::string, file_state> snapshot(const std::string &dir) {
  std::map<std::string, file_state> out;
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      out[fs::relative(e.path(), dir).generic_string()] = {read_all(e.path().string()), e.last_write_time()};
  return out;
}

// Sets every file's modification time a day back, so a file a run writes
// shows a new time however coarse the file system's clock.
void age(const std::string &dir) {
  for (const auto &e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) fs::last_write_time(e.path(), e.last_write_time() - std::chrono::hours(24));
}

// The names whose state differs between two snapshots (or that only one has).
std::string changed(const std::map<std::string, file_state> &a, const std::map<std::string, file_state> &b) {
  std::set<std::string> names;
  for (const auto &[n, s] : a) names.insert(n);
  for (const auto &[n, s] : b) names.insert(n);
  std::string out;
  for (const std::string &n : names) {
    auto x = a.find(n), y = b.find(n);
    if (x == a.end() || y == b.end() || !(x->second == y->second)) out += n + " ";
  }
  return out;
}

class ExportRerun : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user = dv.unique_user("rerun");
    ASSERT_TRUE(dv.add_user(user, k_pass));
    ASSERT_TRUE(dv.create_folder(user, k_folder));
    std::vector<std::pair<std::string, long long>> msgs;
    // Forty days apart: the dated layout spreads them over months.
    for (int i = 0; i < 5; ++i)
      msgs.push_back({make_message(i, 900, "rerun " + std::to_string(i)), 1700000000 + 86400 * 40 * i});
    // Large enough to be received into a spool file.
    msgs.push_back({make_message(5, 300 * 1024, "large"), 1700000000});
    in = append_all(dv, user, k_folder, msgs);
    ASSERT_EQ(in.size(), msgs.size());
    ASSERT_EQ(kq_connect(connect_json(user, k_pass, false).c_str()), 0) << kq_last_error();
  }
  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }
  // One export of the folder into d, all.mbox and dated directories
  // included: after a search of it, or (learned) with the folder named so
  // the job finds its UIDs itself.
  int run(bool learned) {
    std::string extra = "\"format\":\"mbox\",\"naming\":\"YYYY-MM\"";
    if (learned) extra += ",\"folder\":" + json_quote(k_folder);
    else search_all(k_folder, in.size());
    return run_export(config(d.str(), extra));
  }
  // Stores flags through a second IMAP session, as another mail client
  // would: "UID +FLAGS (\\Flagged)" each.
  void store(const std::vector<std::string> &stores) { store_flags(dv, user, k_pass, k_folder, stores); }

  DovecotServer &dv = shared_dovecot();
  std::string user;
  std::vector<stored> in;
  scratch_dir d;
};

// The same set-up for tests that are not run both ways.
class ExportLeftovers : public ExportRerun {};

kq::resume_data resume_of(const std::string &text) {
  kq::resume_data r;
  EXPECT_TRUE(kq::resume_parse(text, r)) << text;
  return r;
}

}  // namespace

TEST_P(ExportRerun, NothingNewLeavesEveryFileAsItWas) {
  ASSERT_EQ(run(GetParam()), 2) << job_error();
  ASSERT_TRUE(fs::exists(d.file("resume.json")));
  age(d.str());
  auto before = snapshot(d.str());
  ASSERT_EQ(run(GetParam()), 2) << job_error();
  auto after = snapshot(d.str());
  EXPECT_EQ(changed(before, after), "");
  // Nothing of the run is left beside the archive's files either.
  EXPECT_EQ(after.size(), before.size());
}

TEST_P(ExportRerun, ChangedFlagsOnlyAppendFlagLinesAndRecordTheModSeq) {
  ASSERT_EQ(run(GetParam()), 2) << job_error();
  age(d.str());
  auto before = snapshot(d.str());
  store({std::to_string(in[1].uid) + " +FLAGS (\\Flagged)", std::to_string(in[3].uid) + " +FLAGS ($Later)"});
  // On the same connection: the folder the first run left selected must not
  // lend this run that run's HIGHESTMODSEQ.
  ASSERT_EQ(run(GetParam()), 2) << job_error();
  auto after = snapshot(d.str());
  EXPECT_EQ(changed(before, after), "manifest.jsonl resume.json ");

  // The manifest only grew, by one flag line for each changed message.
  const std::string &was = before["manifest.jsonl"].bytes, &now = after["manifest.jsonl"].bytes;
  ASSERT_EQ(now.compare(0, was.size(), was), 0);
  std::vector<unsigned> flagged;
  for (const std::string &line : split_lines(now.substr(was.size()))) {
    kq::json_doc doc;
    ASSERT_TRUE(doc.parse(line)) << line;
    EXPECT_EQ(kq::json_key(doc.root(), "file"), nullptr) << line;
    EXPECT_NE(kq::json_key(doc.root(), "ts_flags"), nullptr) << line;
    flagged.push_back(static_cast<unsigned>(kq::json_num(doc.root(), "uid", 0)));
  }
  EXPECT_EQ(flagged, (std::vector<unsigned>{in[1].uid, in[3].uid}));

  // resume.json differs in the mod-sequence alone.
  kq::resume_data r0 = resume_of(before["resume.json"].bytes), r1 = resume_of(after["resume.json"].bytes);
  EXPECT_GT(r1.highestmodseq, r0.highestmodseq);
  r1.highestmodseq = r0.highestmodseq;
  EXPECT_TRUE(r1 == r0);
}

INSTANTIATE_TEST_SUITE_P(AfterASearchOrLearned, ExportRerun, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &p) {
                           return p.param ? "Learned" : "AfterSearch";
                         });

TEST_F(ExportLeftovers, TemporaryFilesOfAKilledRunAreGoneAfterTheNextRun) {
  ASSERT_EQ(run(false), 2) << job_error();
  const std::vector<std::string> leftovers = {".incoming-0.part", ".incoming-3.part", "resume.json.tmp",
                                              "manifest.jsonl.tmp"};
  for (const std::string &n : leftovers) write_all(d.file(n), "half a body");
  write_all(d.file("notes.txt"), "the user's own");
  // Verification checks what the manifest lists and passes other files by.
  ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
  EXPECT_NE(std::string(kq_verify_report_json()).find("\"intact\":true"), std::string::npos)
      << kq_verify_report_json();
  ASSERT_EQ(run(false), 2) << job_error();
  for (const std::string &n : leftovers) EXPECT_FALSE(fs::exists(d.file(n))) << n;
  EXPECT_EQ(read_all(d.file("notes.txt")), "the user's own");
  expect_archive(d.str(), k_folder, in, true);
}
