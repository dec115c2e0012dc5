// Flags changed on the server between two runs over the same folder reach
// the archive's manifest without any message being fetched again (Dovecot,
// which offers CONDSTORE).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "export/export_job.h"
#include "export_support.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace fs = std::filesystem;

namespace {

constexpr const char *k_pass = "pw-flags";

class FlagRefresh : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dv.running()) << dv.start_error();
    user = dv.unique_user("flags");
    ASSERT_TRUE(dv.add_user(user, k_pass));
  }
  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }
  std::map<unsigned, std::vector<std::string>> store(const std::string &folder,
                                                     const std::vector<std::string> &stores) {
    return store_flags(dv, user, k_pass, folder, stores);
  }
  // Each archived UID's latest recorded flags, sorted.
  static std::map<unsigned, std::vector<std::string>> recorded(const std::string &dir) {
    std::vector<kq::manifest_message> all;
    kq::resume_data r;
    EXPECT_EQ(kq::resume_load(dir.c_str(), r), kq::resume_load_result::loaded);
    EXPECT_EQ(kq::manifest_latest_flags(dir.c_str(), kq::resume_base_generation(r), all), 0);
    std::map<unsigned, std::vector<std::string>> out;
    for (kq::manifest_message &m : all) {
      std::sort(m.flags.begin(), m.flags.end());
      out[m.uid] = m.flags;
    }
    return out;
  }
  static std::size_t message_files(const std::string &dir) {
    std::size_t n = 0;
    for (const auto &e : fs::directory_iterator(dir)) n += e.path().extension() == ".eml";
    return n;
  }
  static unsigned long long modseq(const std::string &dir) {
    kq::resume_data r;
    EXPECT_EQ(kq::resume_load(dir.c_str(), r), kq::resume_load_result::loaded);
    return r.highestmodseq;
  }

  DovecotServer &dv = shared_dovecot();
  std::string user;
};

}  // namespace

TEST_F(FlagRefresh, ChangedFlagsAreRecordedAndNothingIsFetchedAgain) {
  const std::string folder = "Flags";
  ASSERT_TRUE(dv.create_folder(user, folder));
  std::vector<std::pair<std::string, long long>> msgs;
  for (int i = 0; i < 4; ++i) msgs.push_back({make_message(i, 900, "flags " + std::to_string(i)), 1700000000 + i});
  std::vector<stored> in = append_all(dv, user, folder, msgs);
  ASSERT_EQ(in.size(), 4u);
  ASSERT_EQ(kq_connect(connect_json(user, k_pass, false).c_str()), 0) << kq_last_error();
  scratch_dir d;
  search_all(folder, 4);
  ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
  EXPECT_EQ(recorded(d.str()), store(folder, {}));
  unsigned long long first = modseq(d.str());
  EXPECT_GT(first, 0u);

  // Two rounds: the second asks only for what changed since the first.
  const std::vector<std::vector<std::string>> rounds = {
      {std::to_string(in[0].uid) + " +FLAGS (\\Seen \\Flagged)", std::to_string(in[2].uid) + " +FLAGS ($Custom)"},
      {std::to_string(in[0].uid) + " -FLAGS (\\Flagged)", std::to_string(in[3].uid) + " +FLAGS (\\Answered)"},
  };
  for (const std::vector<std::string> &changes : rounds) {
    std::map<unsigned, std::vector<std::string>> server = store(folder, changes);
    ASSERT_EQ(server.size(), 4u);
    search_all(folder, 4);
    ASSERT_EQ(run_export(config(d.str())), 2) << kq_last_error();
    std::string stats = kq_export_stats_json();
    EXPECT_NE(stats.find("\"done\":0,\"total\":0,"), std::string::npos) << stats;
    EXPECT_EQ(message_files(d.str()), 4u);
    EXPECT_EQ(recorded(d.str()), server);
    EXPECT_GT(modseq(d.str()), first);
    first = modseq(d.str());
  }
  ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
  std::string report = kq_verify_report_json();
  EXPECT_NE(report.find("{\"ok\":4,\"missing\":0,\"corrupt\":0,\"total\":4,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"unreadable_lines\":0"), std::string::npos) << report;
  EXPECT_NE(report.find("\"intact\":true"), std::string::npos) << report;
  std::string stats = kq_archive_stats_json(d.str().c_str());
  EXPECT_NE(stats.find("\"messages\":4,"), std::string::npos) << stats;
}
