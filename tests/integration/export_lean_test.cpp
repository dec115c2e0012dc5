// Exports that keep memory flat and re-runs that look at little: a large
// body goes to disk as it arrives, and a re-run trusts the manifest for
// what is stored but still notices a file deleted by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "export/export_job.h"
#include "export/spool.h"
#include "export_support.h"
#include "support/result_rows.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

// Months apart, so a dated layout spreads them over directories.
constexpr long long k_dates[] = {1672704000, 1709164800, 1709251200, 1700000000, 1600000000};

class ExportLean : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DovecotServer &dv = shared_dovecot();
    if (!dv.running()) return;
    user_ = dv.unique_user("export-lean");
    ASSERT_TRUE(dv.add_user(user_, "pw-lean"));
    ASSERT_TRUE(dv.create_folder(user_, k_folder));
    std::vector<std::pair<std::string, long long>> msgs;
    for (int i = 0; i < 5; ++i) {
      // Two bodies large enough to be spooled, one without a final line end.
      std::size_t size = i == 1 || i == 3 ? static_cast<std::size_t>(kq::k_spool_from) * 3 + 77 : 3000 + 500 * i;
      msgs.push_back({make_message(i, size, "Lean " + std::to_string(i), i != 3), k_dates[i]});
    }
    msgs_ = append_all(dv, user_, k_folder, msgs);
    ASSERT_EQ(msgs_.size(), 5u);
  }

  void SetUp() override {
    DovecotServer &dv = shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(msgs_.size(), 5u);
    ASSERT_EQ(kq_connect(connect_json(user_, "pw-lean", false).c_str()), 0) << kq_last_error();
    search_all(k_folder, msgs_.size());
  }

  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }

  static std::vector<std::string> spool_leftovers(const std::string &dir) {
    std::vector<std::string> out;
    for (const auto &e : std::filesystem::recursive_directory_iterator(dir))
      if (e.path().extension() == ".part") out.push_back(e.path().string());
    return out;
  }

  static constexpr const char *k_folder = "Lean";
  static std::string user_;
  static std::vector<stored> msgs_;
};

std::string ExportLean::user_;
std::vector<stored> ExportLean::msgs_;

}  // namespace

TEST_F(ExportLean, LargeBodiesGoThroughDiskByteForByte) {
  for (const char *format : {"eml+mbox", "maildir"}) {
    SCOPED_TRACE(format);
    scratch_dir d;
    ASSERT_EQ(run_export(config(d.str(), std::string("\"format\":\"") + format + "\"")), 2) << job_error();
    if (std::string(format) == "eml+mbox") {
      expect_archive(d.str(), k_folder, msgs_);
      EXPECT_EQ(python_mbox_check(d.str()), "ok 5\n");
    } else {
      std::vector<entry> m = read_manifest(d.str());
      ASSERT_EQ(m.size(), msgs_.size());
      for (const entry &e : m)
        for (const stored &s : msgs_) {
          if (s.uid == e.uid) {
            EXPECT_EQ(read_all(d.str() + "/" + e.file), s.raw) << e.file;
          }
        }
    }
    EXPECT_TRUE(spool_leftovers(d.str()).empty());
  }
}

TEST_F(ExportLean, FileDeletedByHandIsFetchedAgainOnTheNextRun) {
  scratch_dir d;
  std::string cfg = config(d.str(), "\"naming\":\"YYYY\\\\MM\\\\uid\",\"format\":\"eml+mbox\"");
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  // A re-run with everything in place fetches nothing.
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  EXPECT_EQ(kq::export_record().total.load(), 0u);
  EXPECT_EQ(kq::export_record().done.load(), 0u);
  // One small and one spooled message go, from different month directories.
  for (int i : {0, 3}) {
    std::vector<entry> m = read_manifest(d.str());
    for (const entry &e : m) {
      if (e.uid == msgs_[static_cast<std::size_t>(i)].uid) {
        ASSERT_TRUE(std::filesystem::remove(d.file(e.file)));
      }
    }
  }
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  EXPECT_EQ(kq::export_record().total.load(), 2u);
  EXPECT_EQ(kq::export_record().done.load(), 2u);
  expect_archive(d.str(), k_folder, msgs_, true);
  EXPECT_TRUE(spool_leftovers(d.str()).empty());
}

TEST_F(ExportLean, FolderExportFetchesRowsOnlyForUidsNotStored) {
  DovecotServer &dv = shared_dovecot();
  const std::string folder = "Lean growing";
  ASSERT_TRUE(dv.create_folder(user_, folder));
  std::vector<stored> msgs =
      append_all(dv, user_, folder, {{make_message(20, 3000, "g0"), k_dates[0]}, {make_message(21, 4000, "g1"), k_dates[1]}});
  ASSERT_EQ(msgs.size(), 2u);
  scratch_dir d;
  std::string cfg = config(d.str(), "\"folder\":" + json_quote(folder));
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  EXPECT_EQ(kq::export_record().done.load(), 2u);
  // Nothing new: no row is fetched, no body.
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  EXPECT_EQ(kq::export_record().total.load(), 0u);
  EXPECT_EQ(kq::export_record().done.load(), 0u);
  EXPECT_EQ(kq::export_record().result->size(), 0u);
  std::vector<stored> more = append_all(dv, user_, folder, {{make_message(22, 5000, "g2"), k_dates[2]}});
  ASSERT_EQ(more.size(), 1u);
  msgs.push_back(more[0]);
  ASSERT_EQ(run_export(cfg), 2) << job_error();
  EXPECT_EQ(kq::export_record().total.load(), 1u);
  EXPECT_EQ(kq::export_record().done.load(), 1u);
  // The rows fetched were the new message's alone.
  ASSERT_EQ(kq::export_record().result->size(), 1u);
  EXPECT_EQ(kq::export_record().result->rows()[0].uid, more[0].uid);
  std::vector<entry> m = read_manifest(d.str());
  ASSERT_EQ(m.size(), msgs.size());
  for (const stored &s : msgs) {
    int seen = 0;
    for (const entry &e : m)
      if (e.uid == s.uid) {
        ++seen;
        EXPECT_EQ(read_all(d.str() + "/" + e.file), s.raw);
      }
    EXPECT_EQ(seen, 1) << "uid " << s.uid;
  }
}
