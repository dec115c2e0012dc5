// resume.json: loading, writing and the completed-UID list.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "base/text.h"
#include "archive/resume_file.h"
#include "export/export_job.h"
#include "job/ledger.h"
#include "search/search_table.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

// Points the export job at a directory and folder for load_resume, and
// leaves it cleared again afterwards.
struct resume_fixture : ::testing::Test {
  void SetUp() override { point(); }
  void TearDown() override { reset(); }
  void reset() {
    plat::lock_guard hold(s_job.lock);
    export_job_reset(s_job);
  }
  void point() {
    reset();
    s_job.opt.dir = dir.str();
    copy_cut(s_job.folder, sizeof s_job.folder, "INBOX");
  }
  bool save() {
    plat::lock_guard hold(s_job.lock);
    return save_resume(s_job);
  }
  export_job &s_job = export_record();
  void file(const std::string &text) { kqtest::write_all(dir.file("resume.json"), text); }
  kqtest::scratch_dir dir;
};

using ExportResume = resume_fixture;

}  // namespace

TEST_F(ExportResume, MissingEmptyOrForeignFileLoadsNothing) {
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  file("");
  load_resume(s_job);
  EXPECT_TRUE(s_job.completed.empty());
  // The folder differs only in letter case: ignored entirely.
  file(R"({"folder":"inbox","last_uid":9,"completed":[1,2,3]})");
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1,2,3],})");
  load_resume(s_job);
  EXPECT_TRUE(s_job.completed.empty());
  file(R"([1,2,3])");
  load_resume(s_job);
  EXPECT_TRUE(s_job.completed.empty());
  // Resume off: the file is not even read.
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1,2,3]})");
  s_job.opt.resume = false;
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
}

TEST_F(ExportResume, OversizedFileIsIgnored) {
  file(R"({"folder":"INBOX","last_uid":9,"completed":[1]})");
  std::filesystem::resize_file(dir.file("resume.json"), k_resume_file_max + 1);
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 0);
}

TEST_F(ExportResume, NumbersFollowTheJsonRules) {
  file(R"({"last_uid":12.9,"completed":"no"})");
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 12);
  EXPECT_TRUE(s_job.completed.empty());
  file(R"({"folder":"INBOX","last_uid":true,"completed":[]})");
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_TRUE(s_job.completed.empty());
  EXPECT_FALSE(ledger_has(s_job.completed, 0));
  EXPECT_FALSE(ledger_has(s_job.completed, 1));
  file(R"({"folder":"INBOX","last_uid":4294967297,"completed":[2.7,"x",7]})");
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 1);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{0, 2, 7}));
}

TEST_F(ExportResume, ListInAnyOrderIsSortedSoEveryUidIsFound) {
  file(R"({"folder":"INBOX","last_uid":9,"completed":[9,3,5,3,1000,2]})");
  load_resume(s_job);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{2, 3, 5, 9, 1000}));
  for (unsigned uid : {2u, 3u, 5u, 9u, 1000u}) EXPECT_TRUE(ledger_has(s_job.completed, uid)) << uid;
  for (unsigned uid : {1u, 4u, 10u, 999u, 1001u}) EXPECT_FALSE(ledger_has(s_job.completed, uid)) << uid;
}

TEST_F(ExportResume, WrittenFileReadsBackInAscendingOrder) {
  s_job.last_uid = 9;
  s_job.done = 3;
  s_job.total = 3;
  for (std::uint32_t uid : {9u, 3u, 5u, 3u}) {
    ASSERT_TRUE(ledger_reserve(s_job.completed));
    ledger_insert(s_job.completed, uid);
  }
  save();
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","last_uid":9,"done":3,"total":3,"completed":[3,5,9]})");
  EXPECT_FALSE(std::filesystem::exists(dir.file("resume.json.tmp")));
  point();
  load_resume(s_job);
  EXPECT_EQ(s_job.last_uid, 9);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{3, 5, 9}));
}

TEST_F(ExportResume, EveryStoredUidIsWrittenNotJustTheFirst200000) {
  std::string text = R"({"folder":"INBOX","last_uid":250000,"completed":[)";
  for (int uid = 250000; uid >= 1; --uid) text += std::to_string(uid) + (uid > 1 ? "," : "");
  file(text + "]}");
  load_resume(s_job);
  ASSERT_EQ(s_job.completed.size(), 250000u);
  // One more stored, so the file is written again.
  ASSERT_TRUE(ledger_reserve(s_job.completed));
  ledger_insert(s_job.completed, 250001);
  save();
  point();
  load_resume(s_job);
  ASSERT_EQ(s_job.completed.size(), 250001u);
  EXPECT_EQ(s_job.completed.back(), 250001u);
  EXPECT_TRUE(ledger_has(s_job.completed, 249999));
}

TEST_F(ExportResume, MboxLengthIsRecordedAndPassedOn) {
  ASSERT_TRUE(s_job.archive.mbox_file.open(dir.file("all.mbox").c_str(), true));
  ASSERT_TRUE(s_job.archive.mbox_file.write("From x\r\n\r\n", 10));
  save();
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","last_uid":0,"done":0,"total":0,"completed":[],"mbox_bytes":10})");
  s_job.archive.mbox_file.close();
  load_resume(s_job);
  EXPECT_EQ(s_job.archive.mbox_bytes, 10);
  // A job that does not write all.mbox keeps the length it loaded (in a
  // file written again for another change).
  s_job.last_uid = 4;
  save();
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","last_uid":4,"done":0,"total":0,"completed":[],"mbox_bytes":10})");
  load_resume(s_job);
  EXPECT_EQ(s_job.archive.mbox_bytes, 10);
  // Anything but a plain count leaves the length unknown: never a cut to 0.
  for (const char *bad : {"\"10\"", "true", "-1", "10.5", "null"}) {
    file(std::string(R"({"folder":"INBOX","completed":[1],"mbox_bytes":)") + bad + "}");
    load_resume(s_job);
    EXPECT_EQ(s_job.archive.mbox_bytes, -1) << bad;
  }
}

TEST_F(ExportResume, SaveThatWouldRecordNothingNewLeavesTheFileAlone) {
  // As a finished run left it; its counts are no part of what is recorded.
  const std::string text =
      R"({"folder":"INBOX","uidvalidity":7,"base_uidvalidity":7,"highestmodseq":40,"last_uid":9,"done":2,)"
      R"("total":2,"completed":[3,5,9],"mbox_bytes":0})";
  file(text);
  ASSERT_TRUE(s_job.archive.mbox_file.open(dir.file("all.mbox").c_str(), true));
  load_resume(s_job);
  s_job.gen.archived = 7;
  auto old = std::filesystem::last_write_time(dir.file("resume.json")) - std::chrono::hours(24);
  std::filesystem::last_write_time(dir.file("resume.json"), old);
  EXPECT_TRUE(save());
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")), text);
  EXPECT_EQ(std::filesystem::last_write_time(dir.file("resume.json")), old);
  // Each thing the file records, changed, has it written again.
  struct change {
    const char *what;
    std::function<void()> make;
    const char *written;
  };
  const change changes[] = {
      {"a stored message", [&] { ledger_insert(s_job.completed, 11); },
       R"({"folder":"INBOX","uidvalidity":7,"base_uidvalidity":7,"highestmodseq":40,"last_uid":9,"done":0,)"
       R"("total":0,"completed":[3,5,9,11],"mbox_bytes":0})"},
      {"last_uid", [&] { s_job.last_uid = 12; },
       R"({"folder":"INBOX","uidvalidity":7,"base_uidvalidity":7,"highestmodseq":40,"last_uid":12,"done":0,)"
       R"("total":0,"completed":[3,5,9,11],"mbox_bytes":0})"},
      {"the mod-sequence", [&] { s_job.modseq = 41; },
       R"({"folder":"INBOX","uidvalidity":7,"base_uidvalidity":7,"highestmodseq":41,"last_uid":12,"done":0,)"
       R"("total":0,"completed":[3,5,9,11],"mbox_bytes":0})"},
      {"all.mbox's length", [&] { ASSERT_TRUE(s_job.archive.mbox_file.write("From x\r\n\r\n", 10)); },
       R"({"folder":"INBOX","uidvalidity":7,"base_uidvalidity":7,"highestmodseq":41,"last_uid":12,"done":0,)"
       R"("total":0,"completed":[3,5,9,11],"mbox_bytes":10})"},
      {"the UIDVALIDITY", [&] { s_job.gen.archived = 8; },
       R"({"folder":"INBOX","uidvalidity":8,"base_uidvalidity":7,"highestmodseq":41,"last_uid":12,"done":0,)"
       R"("total":0,"completed":[3,5,9,11],"mbox_bytes":10})"},
  };
  ASSERT_TRUE(ledger_reserve(s_job.completed));
  for (const change &c : changes) {
    c.make();
    EXPECT_TRUE(save()) << c.what;
    EXPECT_EQ(kqtest::read_all(dir.file("resume.json")), c.written) << c.what;
    // And once written, the same again writes nothing.
    std::filesystem::last_write_time(dir.file("resume.json"), old);
    EXPECT_TRUE(save()) << c.what;
    EXPECT_EQ(std::filesystem::last_write_time(dir.file("resume.json")), old) << c.what;
  }
  s_job.archive.mbox_file.close();
}

TEST_F(ExportResume, WriteDoesNothingWithResumeOff) {
  s_job.opt.resume = false;
  save();
  EXPECT_FALSE(std::filesystem::exists(dir.file("resume.json")));
}

// What the writer says a record reads back as is what the reader takes from
// the file, edge values included.
TEST(ResumeRecord, ReadsBackAsTheWriterSays) {
  const std::vector<std::uint32_t> uids = {1, 2, 4294967295u};
  auto with = [&](auto change) {
    resume_record r;
    r.folder = "INBOX";
    r.uidvalidity = 7;
    r.base_uidvalidity = 5;
    r.last_uid = 4294967295u;
    r.done = 3;
    r.total = 9;
    r.completed = &uids;
    r.mbox_bytes = 1234;
    r.highestmodseq = 99;
    change(r);
    return r;
  };
  const std::pair<const char *, resume_record> records[] = {
      {"all keys", with([](resume_record &) {})},
      {"no UIDVALIDITY: no generation, no mod-sequence", with([](resume_record &r) { r.uidvalidity = 0; })},
      {"a UIDVALIDITY past 32 bits", with([](resume_record &r) { r.uidvalidity = 1ULL << 32; })},
      {"a base past 32 bits", with([](resume_record &r) { r.base_uidvalidity = 1ULL << 40; })},
      {"a mod-sequence past 63 bits", with([](resume_record &r) { r.highestmodseq = 1ULL << 63; })},
      {"no mod-sequence", with([](resume_record &r) { r.highestmodseq = 0; })},
      {"no all.mbox length", with([](resume_record &r) { r.mbox_bytes = -1; })},
      {"an all.mbox length past 2^62", with([](resume_record &r) { r.mbox_bytes = (1LL << 62) + 1; })},
      {"no list", with([](resume_record &r) { r.completed = nullptr; })},
      {"a folder to escape", with([](resume_record &r) { r.folder = "Sent \"old\"\\2024 \xc3\xa9"; })},
  };
  for (const auto &[what, r] : records) {
    resume_data back;
    ASSERT_TRUE(resume_parse(resume_format(r), back)) << what;
    EXPECT_TRUE(resume_as_read(r) == back) << what;
    EXPECT_TRUE(resume_reads_as(r, back)) << what;
  }
}

TEST(ResumeRecord, EveryRecordedValueCountsAndTheCountsDoNot) {
  const std::vector<std::uint32_t> uids = {3, 5, 9}, more = {3, 5, 9, 10}, other = {3, 6, 9};
  resume_record r;
  r.folder = "INBOX";
  r.uidvalidity = 7;
  r.base_uidvalidity = 7;
  r.last_uid = 9;
  r.completed = &uids;
  r.mbox_bytes = 10;
  r.highestmodseq = 40;
  const resume_data d = resume_as_read(r);
  const std::pair<const char *, std::function<void(resume_record &)>> changes[] = {
      {"folder", [](resume_record &x) { x.folder = "Sent"; }},
      {"uidvalidity", [](resume_record &x) { x.uidvalidity = 8; }},
      {"base_uidvalidity", [](resume_record &x) { x.base_uidvalidity = 6; }},
      {"last_uid", [](resume_record &x) { x.last_uid = 10; }},
      {"a UID more", [&](resume_record &x) { x.completed = &more; }},
      {"another UID", [&](resume_record &x) { x.completed = &other; }},
      {"no list", [](resume_record &x) { x.completed = nullptr; }},
      {"mbox_bytes", [](resume_record &x) { x.mbox_bytes = 11; }},
      {"no mbox_bytes", [](resume_record &x) { x.mbox_bytes = -1; }},
      {"highestmodseq", [](resume_record &x) { x.highestmodseq = 41; }},
  };
  for (const auto &[what, change] : changes) {
    resume_record x = r;
    change(x);
    EXPECT_FALSE(resume_reads_as(x, d)) << what;
  }
  resume_record counts = r;
  counts.done = 5;
  counts.total = 8;
  EXPECT_TRUE(resume_reads_as(counts, d));
}

TEST(JobLedger, InsertKeepsOrderWithoutRepeatsAndGrowsByDoubling) {
  struct {
    id_ledger completed;
  } job;
  ASSERT_TRUE(ledger_reserve(job.completed));
  EXPECT_EQ(job.completed.capacity(), 4096u);
  for (std::uint32_t uid = 1; uid <= 4096; ++uid) {
    ASSERT_TRUE(ledger_reserve(job.completed));
    ledger_insert(job.completed, uid * 2);
  }
  ASSERT_TRUE(ledger_reserve(job.completed));
  EXPECT_EQ(job.completed.capacity(), 8192u);
  ledger_insert(job.completed, 7);
  ledger_insert(job.completed, 8);
  EXPECT_EQ(job.completed.size(), 4097u);
  EXPECT_TRUE(std::is_sorted(job.completed.begin(), job.completed.end()));
  EXPECT_TRUE(ledger_has(job.completed, 7));
}

namespace {
void count(export_job &job) {
  plat::lock_guard hold(job.lock);
  count_work(job);
}
}  // namespace

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
  job.opt.resume = true;
  job.last_uid = 8;
  job.completed = {2, 4, 10};
  count(job);
  EXPECT_EQ(job.total.load(), 7u);
  EXPECT_EQ(job.bytes_todo, 700);
  job.opt.resume = false;
  count(job);
  EXPECT_EQ(job.total.load(), 10u);
  EXPECT_EQ(job.bytes_todo, 900);
}
