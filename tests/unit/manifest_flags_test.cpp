// Flag lines in manifest.jsonl: their format, how every reader takes them
// (parse, latest flags, prune, verification, statistics), the mod-sequence
// in resume.json, and Gmail labels as a FETCH response carries them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/generation.h"
#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "archive_fixture.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "kerquill.h"
#include "support/scratch_files.h"

using namespace kq;
using archive_test::k_sha_abc;
using archive_test::k_sha_empty;

namespace {

std::string flag_line(std::uint32_t uid, std::vector<std::string> flags, long long when,
                      std::uint64_t uidvalidity = 0, const std::vector<std::string> *labels = nullptr) {
  std::string out;
  manifest_flag_fields f;
  f.uid = uid;
  f.folder = "INBOX";
  f.uidvalidity = uidvalidity;
  f.flags = &flags;
  f.labels = labels;
  f.ts_flags = when;
  manifest_format_flag_line(out, f);
  return out;
}

// A message line as the exporter writes it, with flags.
std::string message_line(std::uint32_t uid, std::vector<std::string> flags, std::uint64_t uidvalidity = 0,
                         const std::string &sha = k_sha_abc) {
  std::string out;
  std::string file = "uid-" + std::to_string(uid) + ".eml";
  manifest_fields f;
  f.uid = uid;
  f.folder = "INBOX";
  f.uidvalidity = uidvalidity;
  f.file = file;
  f.sha256 = sha;
  f.size = 3;
  f.flags = &flags;
  manifest_format_line(out, f);
  return out;
}

std::vector<std::string> texts(const std::vector<std::string_view> &v) { return {v.begin(), v.end()}; }

}  // namespace

TEST(ManifestFlagLine, FormatIsExactAndReadsBack) {
  std::vector<std::string> labels = {"\\Inbox", "Reisen/Früh"};
  std::string line = flag_line(7, {"\\Seen", "$Label1"}, 1700000000, 42, &labels);
  EXPECT_EQ(line,
            "{\"uid\":7,\"folder\":\"INBOX\",\"uidvalidity\":42,\"flags\":[\"\\\\Seen\",\"$Label1\"],"
            "\"labels\":[\"\\\\Inbox\",\"Reisen/Früh\"],\"ts_flags\":1700000000}\n");
  json_doc doc;
  manifest_entry e;
  ASSERT_EQ(manifest_parse_line(line.substr(0, line.size() - 1), doc, e), manifest_line_kind::flag_update);
  EXPECT_EQ(e.uid, 7u);
  EXPECT_EQ(e.folder, "INBOX");
  EXPECT_EQ(e.uidvalidity, 42u);
  EXPECT_EQ(texts(e.flags), (std::vector<std::string>{"\\Seen", "$Label1"}));
  EXPECT_TRUE(e.has_labels);
  EXPECT_EQ(texts(e.labels), labels);
  EXPECT_EQ(e.ts_flags, 1700000000);
  EXPECT_TRUE(e.file.empty());
  // No flags at all is an empty list, not a missing one; no labels no key.
  EXPECT_EQ(flag_line(3, {}, 5), "{\"uid\":3,\"folder\":\"INBOX\",\"flags\":[],\"ts_flags\":5}\n");
}

TEST(ManifestFlagLine, KindsOfLines) {
  struct row {
    const char *line;
    manifest_line_kind want;
  };
  const row rows[] = {
      {R"({"uid":3,"folder":"INBOX","flags":[],"ts_flags":5})", manifest_line_kind::flag_update},
      {R"({"uid":3,"flags":["\\Seen"],"ts_flags":5.5})", manifest_line_kind::flag_update},
      {R"({"uid":3,"flags":["\\Seen"]})", manifest_line_kind::unreadable},           // no time
      {R"({"uid":3,"ts_flags":5})", manifest_line_kind::unreadable},                 // no list
      {R"({"uid":3,"flags":"\\Seen","ts_flags":5})", manifest_line_kind::unreadable},  // not a list
      {R"({"uid":3,"flags":[],"ts_flags":"5"})", manifest_line_kind::unreadable},    // time not a number
      {R"({"uid":0,"flags":[],"ts_flags":5})", manifest_line_kind::unreadable},
      {R"({"flags":[],"ts_flags":5})", manifest_line_kind::unreadable},
      // A line naming a file is a message line, and must be a whole one.
      {R"({"uid":3,"file":"uid-3.eml","flags":[],"ts_flags":5})", manifest_line_kind::unreadable},
      {R"({"uid":3,"file":"uid-3.eml","sha256":"x","flags":[],"ts_flags":5})", manifest_line_kind::entry},
      {R"({"uid":3,"file":"uid-3.eml","sha256":"x"})", manifest_line_kind::entry},
      {R"({"uid":3,"file":"","sha256":"x"})", manifest_line_kind::unreadable},
  };
  for (const row &r : rows) {
    json_doc doc;
    manifest_entry e;
    EXPECT_EQ(manifest_parse_line(r.line, doc, e), r.want) << r.line;
  }
}

TEST(ManifestLatestFlags, LatestLineForEachMessageWins) {
  kqtest::scratch_dir d;
  std::vector<std::string> labels = {"Work"};
  kqtest::write_all(d.file("manifest.jsonl"),
                    // 1: changed twice; 2: never changed; 3: written before
                    // flags were recorded, changed once; 9: no message.
                    message_line(1, {"\\Seen"}, 5) + message_line(2, {"\\Answered"}, 5) +
                        R"({"uid":3,"folder":"INBOX","uidvalidity":5,"file":"uid-3.eml","sha256":"x","size":1})"
                        "\n" +
                        flag_line(1, {}, 100, 5) + flag_line(9, {"\\Seen"}, 100, 5) +
                        flag_line(1, {"\\Flagged"}, 200, 5, &labels) + flag_line(3, {"\\Seen"}, 300, 5) +
                        // Another generation's UID 2 is another message.
                        flag_line(2, {"\\Deleted"}, 400, 6) + "not json\n");
  std::vector<manifest_message> got;
  ASSERT_EQ(manifest_latest_flags(d.str().c_str(), 5, got), 0);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].uid, 1u);
  EXPECT_EQ(got[0].file, "uid-1.eml");
  EXPECT_EQ(got[0].sha256, k_sha_abc);
  EXPECT_EQ(got[0].size, 3);
  EXPECT_EQ(got[0].flags, std::vector<std::string>{"\\Flagged"});
  EXPECT_TRUE(got[0].has_labels);
  EXPECT_EQ(got[0].labels, labels);
  EXPECT_EQ(got[0].ts_flags, 200);
  EXPECT_EQ(got[1].uid, 2u);
  EXPECT_EQ(got[1].flags, std::vector<std::string>{"\\Answered"});
  EXPECT_EQ(got[1].ts_flags, -1);
  EXPECT_EQ(got[2].uid, 3u);
  EXPECT_TRUE(got[2].has_flags);
  EXPECT_EQ(got[2].flags, std::vector<std::string>{"\\Seen"});
  EXPECT_FALSE(got[2].has_labels);
}

TEST(ManifestLatestFlags, ArchiveWithoutFlagsHasNone) {
  kqtest::scratch_dir d;
  kqtest::write_all(d.file("manifest.jsonl"), archive_test::manifest_line(4, "uid-4.eml", k_sha_empty));
  std::vector<manifest_message> got;
  ASSERT_EQ(manifest_latest_flags(d.str().c_str(), 0, got), 0);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].has_flags);
  EXPECT_TRUE(got[0].flags.empty());
  EXPECT_EQ(got[0].subject, "s");
  std::vector<manifest_message> none;
  EXPECT_EQ(manifest_latest_flags((d.str() + "/absent").c_str(), 0, none), -1);
}

TEST(ManifestFlagPrune, KeepsFlagLinesOfKeptMessagesOnly) {
  kqtest::scratch_dir d;
  for (int uid : {1, 2}) kqtest::write_all(d.file("uid-" + std::to_string(uid) + ".eml"), "abc");
  // 3's file is gone, 4 is not completed: their flag lines go with them.
  std::string kept = message_line(1, {}, 5) + message_line(2, {}, 5) + flag_line(1, {"\\Seen"}, 10, 5);
  std::string other_generation = flag_line(3, {"\\Seen"}, 10, 4);
  kqtest::write_all(d.file("manifest.jsonl"), message_line(1, {}, 5) + message_line(2, {}, 5) +
                                                  message_line(3, {}, 5) + flag_line(1, {"\\Seen"}, 10, 5) +
                                                  flag_line(3, {"\\Seen"}, 10, 5) +
                                                  flag_line(4, {"\\Seen"}, 10, 5) + other_generation);
  archive_generation gen;
  gen.uidvalidity = 5;
  std::vector<std::uint32_t> completed = {1, 2, 3};
  ASSERT_TRUE(manifest_prune(d.str().c_str(), gen, completed, 4));
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), kept + other_generation);
  EXPECT_EQ(completed, (std::vector<std::uint32_t>{1, 2}));
}

// Flag lines neither count as messages nor as bad lines, however many.
TEST(ManifestFlagReaders, VerifyAndStatsCountMessagesNotLines) {
  struct row {
    const char *name;
    std::string manifest;
  };
  const std::string plain = message_line(1, {}, 0, k_sha_empty) + message_line(2, {}, 0, k_sha_abc);
  const std::string changed = flag_line(1, {"\\Seen"}, 10) + flag_line(2, {}, 11) + flag_line(1, {}, 12);
  const row rows[] = {
      {"without flags", archive_test::manifest_line(1, "uid-1.eml", k_sha_empty) +
                            archive_test::manifest_line(2, "uid-2.eml", k_sha_abc)},
      {"with flags", plain},
      {"with flag lines", plain + changed},
      {"flag lines between", message_line(1, {}, 0, k_sha_empty) + changed + message_line(2, {}, 0, k_sha_abc)},
  };
  for (const row &r : rows) {
    archive_test::temp_dir dir("flags");
    archive_test::write_file(dir.path() / "uid-1.eml", "");
    archive_test::write_file(dir.path() / "uid-2.eml", "abc");
    archive_test::write_file(dir.path() / "manifest.jsonl", r.manifest);
    ASSERT_EQ(kq_verify_dir(dir.str().c_str()), 0) << r.name;
    json_doc v;
    ASSERT_TRUE(v.parse(std::string(kq_verify_report_json()))) << r.name;
    EXPECT_EQ(json_num(v.root(), "ok", -1), 2) << r.name;
    EXPECT_EQ(json_num(v.root(), "total", -1), 2) << r.name;
    EXPECT_EQ(json_num(v.root(), "unreadable_lines", -1), 0) << r.name;
    EXPECT_EQ(json_num(v.root(), "duplicates", -1), 0) << r.name;
    json_doc s;
    ASSERT_TRUE(s.parse(std::string(kq_archive_stats_json(dir.str().c_str())))) << r.name;
    EXPECT_EQ(json_num(s.root(), "messages", -1), 2) << r.name;
    EXPECT_EQ(json_num(s.root(), "unreadable_lines", -1), 0) << r.name;
    EXPECT_EQ(json_num(s.root(), "duplicates", -1), 0) << r.name;
  }
}

TEST(ResumeModseq, RecordedWithItsGenerationAndOptionalOnRead) {
  std::vector<std::uint32_t> completed = {1, 2};
  resume_record r;
  r.folder = "INBOX";
  r.uidvalidity = 5;
  r.base_uidvalidity = 5;
  r.completed = &completed;
  r.highestmodseq = 9007199254740993ULL;  // beyond a double's exact range
  resume_data back;
  ASSERT_TRUE(resume_parse(resume_format(r), back));
  EXPECT_EQ(back.highestmodseq, 9007199254740993ULL);
  // Without a UIDVALIDITY a mod-sequence names nothing: not written.
  r.uidvalidity = 0;
  EXPECT_EQ(resume_format(r).find("highestmodseq"), std::string::npos);
  struct row {
    const char *text;
    std::uint64_t want;
  };
  const row rows[] = {
      {R"({"folder":"INBOX","uidvalidity":5,"completed":[1]})", 0},  // written before it was recorded
      {R"({"folder":"INBOX","highestmodseq":-3})", 0},
      {R"({"folder":"INBOX","highestmodseq":12.5})", 0},
      {R"({"folder":"INBOX","highestmodseq":"12"})", 0},
      {R"({"folder":"INBOX","highestmodseq":12})", 12},
  };
  for (const row &w : rows) {
    resume_data d;
    ASSERT_TRUE(resume_parse(w.text, d)) << w.text;
    EXPECT_EQ(d.highestmodseq, w.want) << w.text;
  }
}

TEST(FetchLabels, AstringsDecodedToText) {
  struct row {
    const char *line;
    std::vector<std::string> want;
  };
  const row rows[] = {
      {"* 1 FETCH (UID 4 X-GM-LABELS ())", {}},
      {"* 1 FETCH (UID 4 X-GM-LABELS (\\Inbox \\Important))", {"\\Inbox", "\\Important"}},
      {"* 1 FETCH (X-GM-LABELS (\"My Label\" Work) UID 4)", {"My Label", "Work"}},
      {"* 1 FETCH (UID 4 x-gm-labels (\"quote \\\" inside\"))", {"quote \" inside"}},
      // Modified UTF-7, as mailbox names: "Früh" and a CJK label.
      {"* 1 FETCH (UID 4 X-GM-LABELS (Fr&APw-h \"&ZeVnLIqe-\"))", {"Früh", "日本語"}},
      // Not valid modified UTF-7: kept as sent.
      {"* 1 FETCH (UID 4 X-GM-LABELS (a&b))", {"a&b"}},
  };
  for (const row &r : rows) {
    response resp;
    resp.line = r.line;
    fetch_data f;
    ASSERT_TRUE(parse_fetch(resp, f)) << r.line;
    EXPECT_EQ(f.uid, 4u) << r.line;
    EXPECT_TRUE(f.has_labels) << r.line;
    EXPECT_EQ(f.labels, r.want) << r.line;
  }
  fetch_data f;
  response none;
  none.line = "* 1 FETCH (UID 4 FLAGS ())";
  ASSERT_TRUE(parse_fetch(none, f));
  EXPECT_FALSE(f.has_labels);
  none.line = "* 1 FETCH (UID 4 X-GM-LABELS \\Inbox)";  // always a list
  EXPECT_FALSE(parse_fetch(none, f));
}
