// Exports from the loopback Dovecot with the fetch window full: a pause and
// a cancel land while many messages are on the wire.
#include <gtest/gtest.h>

#include <chrono>

#include "export/export_job.h"
#include "export_support.h"

using namespace kqtest;
using namespace kqtest::exp;

namespace {

// Large enough that the job spends a while with its window full: about
// 16 MB in messages of 80 KB, a dozen to a command.
constexpr int k_messages = 200;

class ExportPipeline : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    DovecotServer &dv = shared_dovecot();
    if (!dv.running()) return;
    user_ = dv.unique_user("export-pipeline");
    ASSERT_TRUE(dv.add_user(user_, "pw-pipeline"));
    ASSERT_TRUE(dv.create_folder(user_, k_folder));
    std::vector<std::pair<std::string, long long>> in;
    for (int i = 0; i < k_messages; ++i)
      in.push_back({make_message(i, 70000 + (i * 131) % 20000, "row " + std::to_string(i)), 1600000000LL + i});
    msgs_ = append_all(dv, user_, k_folder, in);
  }

  void SetUp() override {
    DovecotServer &dv = shared_dovecot();
    ASSERT_TRUE(dv.running()) << dv.start_error();
    ASSERT_EQ(msgs_.size(), static_cast<std::size_t>(k_messages));
    ASSERT_EQ(kq_connect(connect_json(user_, "pw-pipeline", false).c_str()), 0) << kq_last_error();
    search_all(k_folder, msgs_.size());
  }

  void TearDown() override {
    if (kq_export_status() == 1 || kq_export_status() == 3) kq_export_cancel();
    wait_end();
    kq_disconnect();
  }

  // Starts a job and waits until it has stored a few messages and so has
  // its window full.
  static void start_and_wait_for_some(const std::string &dir) {
    ASSERT_EQ(kq_export_start(config(dir).c_str()), 0) << kq_last_error();
    ASSERT_TRUE(wait_for([] { return kq::export_record().done.load() >= 5 || kq_export_status() != 1; }));
    ASSERT_EQ(kq_export_status(), 1) << "the job ended before it could be steered";
  }

  static constexpr const char *k_folder = "Pipelined";
  static std::string user_;
  static std::vector<stored> msgs_;
};

std::string ExportPipeline::user_;
std::vector<stored> ExportPipeline::msgs_;

}  // namespace

TEST_F(ExportPipeline, PauseWithAFullWindowHoldsAndTheResumedJobStoresEachMessageOnce) {
  scratch_dir d;
  start_and_wait_for_some(d.str());
  ASSERT_EQ(kq_export_pause(), 0);
  // The pause lands with commands in flight: they are read off the wire,
  // nothing more is stored, and the job holds (a generous bound; the
  // benchmark times it).
  ASSERT_TRUE(wait_for([] { return kq_export_status() == 3; }, 5000));
  std::size_t held = read_manifest(d.str()).size();
  EXPECT_EQ(held, kq::export_record().done.load());
  EXPECT_LT(held, static_cast<std::size_t>(k_messages));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(read_manifest(d.str()).size(), held);
  EXPECT_EQ(kq::export_record().active.load(), 1u);

  // Going on, the rows the pause left unstored are fetched again.
  ASSERT_EQ(kq_export_resume(), 0);
  ASSERT_EQ(wait_end(), 2) << kq_last_error();
  EXPECT_EQ(kq::export_record().done.load(), static_cast<std::uint64_t>(k_messages));
  expect_archive(d.str(), k_folder, msgs_);
}

TEST_F(ExportPipeline, CancelWithAFullWindowEndsTheJobAndTheNextStoresOnlyTheRest) {
  scratch_dir d;
  start_and_wait_for_some(d.str());
  ASSERT_EQ(kq_export_cancel(), 0);
  ASSERT_TRUE(wait_for([] { return kq::export_record().active.load() == 0; }, 5000));
  EXPECT_EQ(kq_export_status(), 3);
  std::size_t first = read_manifest(d.str()).size();
  EXPECT_EQ(first, kq::export_record().done.load());
  EXPECT_LT(first, static_cast<std::size_t>(k_messages));

  ASSERT_EQ(kq_export_start(config(d.str()).c_str()), 0);
  ASSERT_EQ(wait_end(), 2) << kq_last_error();
  // resume.json is written at every stop, so nothing is fetched twice.
  EXPECT_EQ(kq::export_record().done.load(), static_cast<std::uint64_t>(k_messages) - first);
  expect_archive(d.str(), k_folder, msgs_);
}
