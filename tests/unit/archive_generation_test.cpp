// UIDVALIDITY in the archive: how manifest lines and resume.json record it,
// how a job settles on a generation, how pruning and verification keep the
// generations apart, and the repair of files that went missing or were cut.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "base/text.h"
#include "archive/generation.h"
#include "archive/layout.h"
#include "export/export_job.h"
#include "export/export_one.h"
#include "kerquill.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

search_hit hit(std::uint32_t uid) {
  search_hit h{};
  h.uid = uid;
  h.bytes = 10;
  h.date = "17-Jul-1996 02:44:25 -0700";
  h.ts = 837596665;
  h.from = "a@example.org";
  h.subject = "s";
  return h;
}

// A manifest line as the exporter writes it, for a 10-byte file; the
// digest is that of "0123456789".
std::string line(std::uint32_t uid, std::uint64_t uv, const std::string &file) {
  std::string out;
  manifest_line(out, "INBOX", file,
                "84d89877f0d4041efb6bf91a16f0248f2fd573e6af05c19f96bedb9f882f7882", 10, hit(uid), uv);
  return out;
}

struct archive : ::testing::Test {
  void SetUp() override {
    reset();
    s_job.opt.dir = dir.str();
    copy_cut(s_job.folder, sizeof s_job.folder, "INBOX");
  }
  void TearDown() override { reset(); }
  void reset() {
    plat::lock_guard hold(s_job.lock);
    export_job_reset(s_job);
  }
  void settle(std::uint64_t uv) {
    plat::lock_guard hold(s_job.lock);
    settle_export_generation(s_job, uv);
  }
  export_job &s_job = export_record();
  void put(const std::string &name, const std::string &bytes = "0123456789") {
    std::filesystem::create_directories(std::filesystem::path(dir.file(name)).parent_path());
    kqtest::write_all(dir.file(name), bytes);
  }
  kqtest::scratch_dir dir;
};

using ArchiveGeneration = archive;

}  // namespace

TEST(ManifestFormat, UidvalidityIsWrittenWhenKnownAndReadBackOnlyAsAPositiveInteger) {
  std::string with = line(7, 1700000001, "uid-7.eml");
  EXPECT_NE(with.find(",\"folder\":\"INBOX\",\"uidvalidity\":1700000001,\"file\":"), std::string::npos);
  json_doc doc;
  manifest_entry e;
  ASSERT_EQ(manifest_parse_line(std::string_view(with).substr(0, with.size() - 1), doc, e),
            manifest_line_kind::entry);
  EXPECT_TRUE(e.has_uidvalidity);
  EXPECT_EQ(e.uidvalidity, 1700000001u);
  EXPECT_EQ(e.folder, "INBOX");
  // Lines written before it was recorded have no key: still entries.
  std::string without = line(7, 0, "uid-7.eml");
  EXPECT_EQ(without.find("uidvalidity"), std::string::npos);
  ASSERT_EQ(manifest_parse_line(without, doc, e), manifest_line_kind::entry);
  EXPECT_FALSE(e.has_uidvalidity);
  for (const char *odd : {"0", "-3", "1.5", "\"9\"", "4294967296", "true"}) {
    std::string l = R"({"uid":1,"file":"a","sha256":"x","uidvalidity":)" + std::string(odd) + "}";
    ASSERT_EQ(manifest_parse_line(l, doc, e), manifest_line_kind::entry) << odd;
    EXPECT_FALSE(e.has_uidvalidity) << odd;
  }
}

TEST(ResumeFormat, UidvalidityAndTheBaseOneRoundTripAndOldFilesReadZero) {
  resume_data d;
  ASSERT_TRUE(resume_parse(R"({"folder":"INBOX","last_uid":3,"completed":[3,1]})", d));
  EXPECT_EQ(d.uidvalidity, 0u);
  EXPECT_EQ(d.base_uidvalidity, 0u);
  ASSERT_TRUE(resume_parse(
      R"({"folder":"INBOX","uidvalidity":4000000000,"base_uidvalidity":17,"completed":[1]})", d));
  EXPECT_EQ(d.uidvalidity, 4000000000u);
  EXPECT_EQ(d.base_uidvalidity, 17u);
  ASSERT_TRUE(resume_parse(R"({"uidvalidity":-1,"base_uidvalidity":"17"})", d));
  EXPECT_EQ(d.uidvalidity, 0u);
  EXPECT_EQ(d.base_uidvalidity, 0u);
}

TEST_F(ArchiveGeneration, WrittenResumeFileNamesTheGenerationOfItsList) {
  s_job.gen.archived = 200;
  s_job.gen.base = 100;
  s_job.completed = {1, 2};
  s_job.last_uid = 2;
  {
    plat::lock_guard hold(s_job.lock);
    ASSERT_TRUE(save_resume(s_job));
  }
  EXPECT_EQ(kqtest::read_all(dir.file("resume.json")),
            R"({"folder":"INBOX","uidvalidity":200,"base_uidvalidity":100,"last_uid":2,"done":0,"total":0,"completed":[1,2]})");
  load_resume(s_job);
  EXPECT_EQ(s_job.gen.archived, 200u);
  EXPECT_EQ(s_job.gen.base, 100u);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{1, 2}));
}

TEST_F(ArchiveGeneration, OldArchiveAdoptsTheServersValueAndAChangeDropsTheCompletedList) {
  // Nothing recorded: the server's value is adopted, the list still counts.
  s_job.completed = {1, 2, 3};
  settle(555);
  EXPECT_EQ(s_job.completed.size(), 3u);
  EXPECT_EQ(s_job.recreated.load(), 0u);
  EXPECT_EQ(s_job.gen.base, 555u);
  EXPECT_EQ(name_uidvalidity(s_job.gen), 0u);
  // The same value again: nothing changes.
  settle(555);
  EXPECT_EQ(s_job.completed.size(), 3u);
  // Another value: the folder was created again.
  settle(777);
  EXPECT_TRUE(s_job.completed.empty());
  EXPECT_EQ(s_job.last_uid, 0);
  EXPECT_EQ(s_job.recreated.load(), 1u);
  EXPECT_EQ(s_job.gen.base, 555u);
  EXPECT_EQ(name_uidvalidity(s_job.gen), 777u);
  EXPECT_EQ(relative_name(false, "", 7, name_uidvalidity(s_job.gen)), "uid-7.v777.eml");
  EXPECT_EQ(relative_name(true, "17-Jul-1996 02:44:25 -0700", 7, 777), "1996-07/uid-7.v777.eml");
  // A server that sends none leaves the archive's record alone.
  reset();
  s_job.gen.archived = 9;
  s_job.completed = {4};
  settle(0);
  EXPECT_EQ(s_job.completed.size(), 1u);
  EXPECT_EQ(name_uidvalidity(s_job.gen), 0u);
}

TEST_F(ArchiveGeneration, PruneKeepsEarlierGenerationsAndDropsWhatIsMissingOrCut) {
  // Generation 100 (lines from before the key existed, plain names) and
  // generation 200, whose files carry it in their names.
  std::string old1 = line(1, 0, "uid-1.eml"), old2 = line(2, 0, "uid-2.eml");
  std::string new1 = line(1, 200, "uid-1.v200.eml"), new2 = line(2, 200, "uid-2.v200.eml"),
              new3 = line(3, 200, "uid-3.v200.eml");
  kqtest::write_all(dir.file("manifest.jsonl"), old1 + old2 + new1 + new2 + new3);
  put("uid-1.v200.eml");
  put("uid-2.v200.eml", "01234");  // cut short
  // uid-3.v200.eml is missing
  s_job.gen.base = 100;
  s_job.gen.uidvalidity = 200;
  s_job.completed = {1, 2, 3};
  ASSERT_TRUE(manifest_prune(s_job.opt.dir.c_str(), s_job.gen, s_job.completed, 3));
  EXPECT_EQ(kqtest::read_all(dir.file("manifest.jsonl")), old1 + old2 + new1);
  EXPECT_EQ(s_job.completed, (std::vector<std::uint32_t>{1}));
  // The cut file is moved aside, not deleted: its name is free again.
  EXPECT_FALSE(std::filesystem::exists(dir.file("uid-2.v200.eml")));
  EXPECT_EQ(kqtest::read_all(dir.file("uid-2.v200.eml.damaged")), "01234");
  // A list without a single line: everything is fetched again.
  kqtest::write_all(dir.file("manifest.jsonl"), old1);
  s_job.completed = {5, 6};
  ASSERT_TRUE(manifest_prune(s_job.opt.dir.c_str(), s_job.gen, s_job.completed, 2));
  EXPECT_TRUE(s_job.completed.empty());
}

TEST_F(ArchiveGeneration, VerifyCountsAUidOnlyOnceInEachGeneration) {
  put("uid-1.eml");
  put("uid-1.v200.eml");
  kqtest::write_all(dir.file("manifest.jsonl"),
                    line(1, 0, "uid-1.eml") + line(1, 200, "uid-1.v200.eml"));
  kqtest::write_all(dir.file("resume.json"),
                    R"({"folder":"INBOX","uidvalidity":200,"base_uidvalidity":100,"completed":[1]})");
  ASSERT_EQ(kq_verify_dir(dir.str().c_str()), 0) << kq_last_error();
  std::string report = kq_verify_report_json();
  EXPECT_NE(report.find("\"ok\":2,\"missing\":0,\"corrupt\":0,\"total\":2,"), std::string::npos) << report;
  EXPECT_NE(report.find("\"duplicates\":0,\"unlisted\":0"), std::string::npos) << report;
  EXPECT_NE(report.find("\"intact\":true"), std::string::npos) << report;
  // The same UID twice in one generation is still a repeat.
  kqtest::write_all(dir.file("manifest.jsonl"), line(1, 200, "uid-1.v200.eml") +
                                                    line(1, 200, "uid-1.v200.eml"));
  ASSERT_EQ(kq_verify_dir(dir.str().c_str()), 0);
  report = kq_verify_report_json();
  EXPECT_NE(report.find("\"duplicates\":1"), std::string::npos) << report;
  // A list of generation 200 is not satisfied by generation 100's line.
  kqtest::write_all(dir.file("manifest.jsonl"), line(1, 0, "uid-1.eml"));
  ASSERT_EQ(kq_verify_dir(dir.str().c_str()), 0);
  report = kq_verify_report_json();
  EXPECT_NE(report.find("\"unlisted\":1"), std::string::npos) << report;
}
