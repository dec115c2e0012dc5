// Archive statistics from hand-written manifests.
#include <gtest/gtest.h>

#include <string>

#include "archive_fixture.h"
#include "base/error.h"
#include "base/text.h"
#include "kerquill.h"

using namespace archive_test;

namespace {
std::string stats_of(const std::string &manifest) {
  static temp_dir d("stats");
  write_file(d.path() / "manifest.jsonl", manifest);
  return kq_archive_stats_json(d.str().c_str());
}

// An entry as the verification needs it, with the given extra keys.
std::string entry(unsigned uid, const std::string &extra) {
  return "{\"uid\":" + std::to_string(uid) + ",\"file\":\"f\",\"sha256\":\"x\"" +
         (extra.empty() ? "" : "," + extra) + "}";
}
}  // namespace

TEST(ArchiveStats, EmptyManifest) {
  EXPECT_EQ(stats_of(""),
            R"({"messages":0,"bytes":0,"oldest":"","newest":"","unreadable_lines":0,"duplicates":0})");
}

TEST(ArchiveStats, SizesAndDates) {
  // 2024-02-29 12:00:00 UTC and 1996-07-17 09:44:25 UTC.
  std::string m = manifest_line(1, "uid-1.eml", k_sha_abc, 1000, 1709208000) +
                  manifest_line(2, "uid-2.eml", k_sha_abc, 250, -1) +
                  manifest_line(3, "uid-3.eml", k_sha_abc, 5, 837596665) +
                  manifest_line(3, "uid-3.eml", k_sha_abc, 5, 837596665);  // counted once
  EXPECT_EQ(stats_of(m), R"({"messages":3,"bytes":1255,"oldest":"1996-07-17","newest":"2024-02-29",)"
                         R"("unreadable_lines":0,"duplicates":1})");
}

TEST(ArchiveStats, UnreadableDatesLeaveTheRangeAlone) {
  std::string m = manifest_line(1, "a", "x", 10, -1) + manifest_line(2, "b", "x", 20, -1);
  EXPECT_EQ(stats_of(m),
            R"({"messages":2,"bytes":30,"oldest":"","newest":"","unreadable_lines":0,"duplicates":0})");
}

TEST(ArchiveStats, TimestampZeroIsTheEpoch) {
  std::string m = manifest_line(1, "a", "x", 1, 86400 * 365) + manifest_line(2, "b", "x", 1, 0);
  EXPECT_EQ(stats_of(m), R"({"messages":2,"bytes":2,"oldest":"1970-01-01","newest":"1971-01-01",)"
                         R"("unreadable_lines":0,"duplicates":0})");
}

TEST(ArchiveStats, OddValuesAndUnreadableLines) {
  std::string m =
      entry(1, "\"size\":10.9,\"ts\":86400.7") + "\n" +   // real numbers are truncated
      entry(2, "\"size\":\"7\",\"ts\":true") + "\n" +    // a text size adds nothing; a non-number ts reads 0
      entry(3, "") + "\n" +                               // counts, adds nothing
      "\n"                                                // blank: not counted anywhere
      " " + entry(4, "\"size\":100") + "\n" +              // does not start with a brace
      "{\"size\":100\n"                                   // does not parse
      "[{\"size\":100}]\n"
      "{\"size\":100}\n" +                                  // no uid, file or sha256: verify cannot check it
      entry(5, "\"size\":1,\"size\":50,\"ts\":-5") + "\r\n";  // the first key counts; CRLF ends the line
  EXPECT_EQ(stats_of(m), R"({"messages":4,"bytes":11,"oldest":"1970-01-01","newest":"1970-01-02",)"
                         R"("unreadable_lines":4,"duplicates":0})");
}

TEST(ArchiveStats, ExtremeValuesNeitherOverflowNorFail) {
  std::string m = entry(1, "\"size\":9223372036854775807,\"ts\":99999999999999999") + "\n" +
                  entry(2, "\"size\":9223372036854775807,\"ts\":1e300") + "\n" +
                  entry(3, "\"size\":5,\"ts\":253402300799") + "\n";  // 9999-12-31
  EXPECT_EQ(stats_of(m),
            R"({"messages":3,"bytes":9223372036854775807,"oldest":"9999-12-31","newest":"",)"
            R"("unreadable_lines":0,"duplicates":0})");
}

// A server that renumbers a folder (a new UIDVALIDITY, as GNU Mailutils does
// on EXPUNGE) leaves the same UIDs archived in two generations: plain file
// names for the first, the UIDVALIDITY in the later one's. Each is a message.
// Lines without a UIDVALIDITY belong to the first generation resume.json
// names; without that file, to none of the recorded ones.
TEST(ArchiveStats, EveryGenerationOfAUidCountsAsVerifyChecksIt) {
  struct archive_case {
    const char *what;
    const char *resume;  // nullptr: no resume.json
    long long messages, bytes, duplicates;
  };
  const archive_case cases[] = {
      {"base generation from resume.json",
       R"({"folder":"INBOX","uidvalidity":200,"base_uidvalidity":100,"completed":[1,2,3]})", 6, 330, 2},
      // The keyless and the keyed line of UID 2 are then told apart.
      {"no resume.json", nullptr, 7, 340, 1},
  };
  for (const archive_case &c : cases) {
    SCOPED_TRACE(c.what);
    temp_dir d("stats-generations");
    std::string m;
    for (unsigned uid = 1; uid <= 3; ++uid) {
      std::string n = std::to_string(uid);
      write_file(d.path() / ("uid-" + n + ".eml"), "abc");
      write_file(d.path() / ("uid-" + n + ".v200.eml"), "abc");
      m += manifest_line(uid, "uid-" + n + ".eml", k_sha_abc, 10, 0) +
           manifest_line(uid, "uid-" + n + ".v200.eml", k_sha_abc, 100, 0, 200);
    }
    // A repeat within generation 200, and UID 2 of the first generation
    // again, now with its UIDVALIDITY written out.
    m += manifest_line(1, "uid-1.v200.eml", k_sha_abc, 100, 0, 200) +
         manifest_line(2, "uid-2.eml", k_sha_abc, 10, 0, 100);
    write_file(d.path() / "manifest.jsonl", m);
    if (c.resume) write_file(d.path() / "resume.json", c.resume);

    kq::json_doc stats;
    ASSERT_TRUE(stats.parse(kq_archive_stats_json(d.str().c_str()))) << kq_last_error();
    EXPECT_EQ(kq::json_num(stats.root(), "messages", -1), c.messages);
    EXPECT_EQ(kq::json_num(stats.root(), "bytes", -1), c.bytes);
    EXPECT_EQ(kq::json_num(stats.root(), "duplicates", -1), c.duplicates);

    ASSERT_EQ(kq_verify_dir(d.str().c_str()), 0) << kq_last_error();
    kq::json_doc verified;
    ASSERT_TRUE(verified.parse(kq_verify_report_json()));
    EXPECT_EQ(kq::json_num(verified.root(), "total", -1), c.messages);
    EXPECT_EQ(kq::json_num(verified.root(), "ok", -1), c.messages);
    EXPECT_EQ(kq::json_num(verified.root(), "duplicates", -1), c.duplicates);
  }
}

TEST(ArchiveStats, ErrorsAndLastErrorLeftAlone) {
  kq::set_err("earlier");
  EXPECT_EQ(stats_of(manifest_line(1, "a", "x", 3, 0)).substr(0, 15), "{\"messages\":1,\"");
  EXPECT_STREQ(kq_last_error(), "earlier");
  EXPECT_STREQ(kq_archive_stats_json(nullptr), "");
  EXPECT_STREQ(kq_last_error(), "no dir");
  EXPECT_STREQ(kq_archive_stats_json(""), "");
  temp_dir none("stats-none");
  EXPECT_STREQ(kq_archive_stats_json(none.str().c_str()), "");
  EXPECT_EQ(std::string(kq_last_error()), "no manifest.jsonl in " + none.str());
}
