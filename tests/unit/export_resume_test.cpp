// resume.json: loading, writing and the completed-UID list.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/text.h"
#include "archive/resume_file.h"
#include "export/resume.h"
#include "export/worker.h"
#include "search/search_table.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

// Points s_job at a directory and folder for resume_read, and leaves it
// cleared again afterwards.
struct resume_fixture : ::testing::Test {
  void SetUp() override {
    job_init();
    job_reset(&s_job);
    copy_cut(s_job.dir, sizeof s_job.dir, dir.str());
    copy_cut(s_job.folder, sizeof s_job.folder, "INBOX");
  }
  void TearDown() override { job_reset(&s_job); }
  void file(const std::string &text) { kqtest::write_all(dir.file("resume.json"), text); }
  kqtest::scratch_dir dir;
};

using ExportResume = resume_fixture;

}  // namespace

TEST_F(ExportResume, MissingEmptyOrForeignFileLoadsNothing) {
  resume_read();
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  file("");
  resume_read();
  EXPECT_TRUE(s_job.completed.empty());
  // The folder differs only in letter case: ignored entirely.
  file(R"({"folder":"inbox","last_uid":9,"completed":[1,2,3]})");
  resume_read();
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1,2,3],})");
  resume_read();
  EXPECT_TRUE(s_job.completed.empty());
  file(R"([1,2,3])");
  resume_read();
  EXPECT_TRUE(s_job.completed.empty());
  // Resume off: the file is not even read.
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1,2,3]})");
  s_job.resume = 0;
  resume_read();
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
}

TEST_F(ExportResume, OversizedFileIsIgnored) {
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1]})");
  std::filesystem::resize_file(dir.file("resume.json"), k_resume_file_max + 1);
  resume_read();
  EXPECT_EQ(s_job.last_uid, 0);
}

TEST_F(ExportResume, NumbersFollowTheJsonRules) {
  file(R"({"last_uid":12.9,"completed":"no"})");
  resume_read();
  EXPECT_EQ(s_job.last_uid, 12);
  EXPECT_TRUE(s_job.completed.empty());
  file(R"({"folder":"INBOX","last_uid":true,"completed":[]})");
  resume_read();
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  EXPECT_EQ(resume_has(&s_job, 0), 0);
  EXPECT_EQ(resume_has(&s_job, 1), 0);
  file(R"({"folder":"INBOX","last_uid":4294967297,"completed":[2.7,"x",7]})");
  resume_read();
  EXPECT_EQ(s_job.last_uid, 1);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{0, 2, 7}));
}

TEST_F(ExportResume, ListInAnyOrderIsSortedSoEveryUidIsFound) {
  file(R"({"folder":"INBOX","last_uid":9,"completed":[9,3,5,3,1000,2]})");
  resume_read();
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{2, 3, 5, 9, 1000}));
  for (unsigned uid : {2u, 3u, 5u, 9u, 1000u}) EXPECT_EQ(resume_has(&s_job, uid), 1) << uid;
  for (unsigned uid : {1u, 4u, 10u, 999u, 1001u}) EXPECT_EQ(resume_has(&s_job, uid), 0) << uid;
}

TEST_F(ExportResume, WrittenFileReadsBackInAscendingOrder) {
  s_job.last_uid = 9;
  s_job.done = 3;
  s_job.total = 3;
  for (std::uint32_t uid : {9u, 3u, 5u, 3u}) {
    ASSERT_TRUE(completed_reserve(&s_job));
    completed_insert(&s_job, uid);
  }
  resume_write(&s_job);
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","last_uid":9,"done":3,"total":3,"completed":[3,5,9]})");
  EXPECT_FALSE(std::filesystem::exists(dir.file("resume.json.tmp")));
  job_reset(&s_job);
  copy_cut(s_job.dir, sizeof s_job.dir, dir.str());
  copy_cut(s_job.folder, sizeof s_job.folder, "INBOX");
  resume_read();
  EXPECT_EQ(s_job.last_uid, 9);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{3, 5, 9}));
}

TEST_F(ExportResume, EveryStoredUidIsWrittenNotJustTheFirst200000) {
  std::string text = R"({"folder":"INBOX","last_uid":250000,"completed":[)";
  for (int uid = 250000; uid >= 1; --uid) text += std::to_string(uid) + (uid > 1 ? "," : "");
  file(text + "]}");
  resume_read();
  ASSERT_EQ(s_job.completed.size(), 250000u);
  resume_write(&s_job);
  job_reset(&s_job);
  copy_cut(s_job.dir, sizeof s_job.dir, dir.str());
  copy_cut(s_job.folder, sizeof s_job.folder, "INBOX");
  resume_read();
  ASSERT_EQ(s_job.completed.size(), 250000u);
  EXPECT_EQ(s_job.completed.back(), 250000u);
  EXPECT_EQ(resume_has(&s_job, 249999), 1);
}

TEST_F(ExportResume, MboxLengthIsRecordedAndPassedOn) {
  ASSERT_TRUE(s_job.mbox_file.open(dir.file("all.mbox").c_str(), true));
  ASSERT_TRUE(s_job.mbox_file.write("From x\r\n\r\n", 10));
  resume_write(&s_job);
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","last_uid":0,"done":0,"total":0,"completed":[],"mbox_bytes":10})");
  s_job.mbox_file.close();
  resume_read();
  EXPECT_EQ(s_job.mbox_bytes, 10);
  // A job that does not write all.mbox keeps the length it loaded.
  resume_write(&s_job);
  resume_read();
  EXPECT_EQ(s_job.mbox_bytes, 10);
  // Anything but a plain count leaves the length unknown: never a cut to 0.
  for (const char *bad : {"\"10\"", "true", "-1", "10.5", "null"}) {
    file(std::string(R"({"folder":"INBOX","completed":[1],"mbox_bytes":)") + bad + "}");
    resume_read();
    EXPECT_EQ(s_job.mbox_bytes, -1) << bad;
  }
}

TEST_F(ExportResume, WriteDoesNothingWithResumeOff) {
  s_job.resume = 0;
  resume_write(&s_job);
  EXPECT_FALSE(std::filesystem::exists(dir.file("resume.json")));
}

TEST(ExportCompleted, InsertKeepsOrderWithoutRepeatsAndGrowsByDoubling) {
  export_job job;
  ASSERT_TRUE(completed_reserve(&job));
  EXPECT_EQ(job.completed.capacity(), 4096u);
  for (std::uint32_t uid = 1; uid <= 4096; ++uid) {
    ASSERT_TRUE(completed_reserve(&job));
    completed_insert(&job, uid * 2);
  }
  ASSERT_TRUE(completed_reserve(&job));
  EXPECT_EQ(job.completed.capacity(), 8192u);
  completed_insert(&job, 7);
  completed_insert(&job, 8);
  EXPECT_EQ(job.completed.size(), 4097u);
  EXPECT_TRUE(std::is_sorted(job.completed.begin(), job.completed.end()));
  EXPECT_EQ(resume_has(&job, 7), 1);
}

// The rows a resumed job counts are exactly those the archive lacks, even
// below the loaded last_uid.
TEST(ExportCount, ResumeCountsEveryRowNotInTheCompletedList) {
  // The job counts the result it holds.
  export_job job;
  auto rows = std::make_shared<search_result>("INBOX");
  for (int i = 0; i < 10; ++i) {
    search_hit h;
    h.uid = static_cast<std::uint32_t>(i + 1);
    h.bytes = i == 9 ? -5 : 100;
    rows->add(h);
  }
  job.result = rows;
  job.resume = 1;
  job.last_uid = 8;
  job.completed = {2, 4, 10};
  count_work(&job);
  EXPECT_EQ(job.total.load(), 7u);
  EXPECT_EQ(job.bytes_todo, 700);
  job.resume = 0;
  count_work(&job);
  EXPECT_EQ(job.total.load(), 10u);
  EXPECT_EQ(job.bytes_todo, 900);
}
