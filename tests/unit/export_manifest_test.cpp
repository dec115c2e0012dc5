// manifest.jsonl: the line format, appending one line per message, and the
// pruning a job does when it starts.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <yyjson.h>

#include "base/error.h"
#include "base/text.h"
#include "archive/generation.h"
#include "archive/manifest.h"
#include "export/export_one.h"
#include "support/platform/file_limit.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

search_hit make_hit(std::uint32_t uid, const char *from = "a@example.org",
                    const char *subject = "s") {
  search_hit h{};
  h.uid = uid;
  h.bytes = 100;
  h.date = "17-Jul-1996 02:44:25 -0700";
  h.ts = 837596665;
  h.from = from;
  h.subject = subject;
  return h;
}

std::string line_for(std::uint32_t uid, const char *subject = "s") {
  std::string line;
  manifest_line(line, "INBOX", "uid-" + std::to_string(uid) + ".eml",
                "00000000000000000000000000000000000000000000000000000000000000ff", 10,
                make_hit(uid, "a@example.org", subject));
  return line;
}

// The earlier way of adding a line: copy the whole manifest and the line
// into a temporary file and rename it over the manifest.
void copy_and_rename(const std::string &dir, const std::string &line) {
  std::string path = dir + "/manifest.jsonl", tmp = path + ".tmp";
  std::string old = kqtest::read_all(path);
  kqtest::write_all(tmp, old + line);
  std::filesystem::rename(tmp, path);
}

// What appending and pruning work on: an archive directory, its open
// manifest, its generation and the completed list.
struct job_in {
  explicit job_in(const std::string &dir) : dir(dir) {}
  bool append(const std::string &line) { return manifest_append(job.manifest_file, dir.c_str(), line); }
  bool prune(std::size_t expected) { return manifest_prune(dir.c_str(), job.gen, job.completed, expected); }
  // The message files line_for's lines name, with the size they give: only
  // a line whose file is intact survives the pruning.
  void files(std::initializer_list<std::uint32_t> uids) {
    for (std::uint32_t uid : uids) file(uid);
  }
  void file(std::uint32_t uid) {
    kqtest::write_all(dir + "/uid-" + std::to_string(uid) + ".eml", "0123456789");
  }
  std::string dir;
  struct {
    plat::append_file manifest_file;
    archive_generation gen;
    std::vector<std::uint32_t> completed;
  } job;
};

}  // namespace

TEST(ExportManifest, LineHasTheFixedKeysAndParsesEvenWithInvalidUtf8) {
  search_hit h = make_hit(4711, "J\xf6rg \"Q\" <j@example.org>", "Gr\xc3\xbc\xc3\x9f" "e\\\t\x01");
  h.ts = -1;
  std::string line;
  manifest_line(line, "INBOX", "1996-07/uid-4711.eml", std::string(64, 'a').c_str(), 1234, h);
  EXPECT_EQ(line, "{\"uid\":4711,\"folder\":\"INBOX\",\"file\":\"1996-07/uid-4711.eml\",\"sha256\":\"" +
                      std::string(64, 'a') +
                      "\",\"size\":1234,\"from\":\"J\\u00f6rg \\\"Q\\\" <j@example.org>\","
                      "\"subject\":\"Gr\xc3\xbc\xc3\x9f" "e\\\\\\t\\u0001\","
                      "\"date\":\"17-Jul-1996 02:44:25 -0700\",\"ts\":-1}\n");
  json_doc doc;
  ASSERT_TRUE(doc.parse(line));
  EXPECT_STREQ(json_str(doc.root(), "subject"), "Gr\xc3\xbc\xc3\x9f" "e\\\t\x01");
  EXPECT_EQ(json_num(doc.root(), "uid", 0), 4711);
}

TEST(ExportManifest, FlagsAreWrittenLastAndReadBackWhenPresent) {
  const std::string head = "{\"uid\":7,\"folder\":\"INBOX\",\"file\":\"uid-7.eml\",\"sha256\":\"" +
                           std::string(64, 'a') + "\",\"size\":1,\"from\":\"f\",\"subject\":\"s\",\"date\":\"d\",\"ts\":0";
  struct row {
    const char *name;
    std::vector<std::string> flags;
    bool recorded;      // written with a flags key
    const char *tail;   // what follows "ts"
  };
  const row rows[] = {
      {"none fetched", {}, false, "}\n"},
      {"fetched, empty", {}, true, ",\"flags\":[]}\n"},
      {"system and keyword", {"\\Seen", "$Label1"}, true, ",\"flags\":[\"\\\\Seen\",\"$Label1\"]}\n"},
  };
  for (const row &r : rows) {
    manifest_fields f;
    f.uid = 7;
    f.folder = "INBOX";
    f.file = "uid-7.eml";
    std::string sha(64, 'a');
    f.sha256 = sha;
    f.size = 1;
    f.from = "f";
    f.subject = "s";
    f.date = "d";
    f.ts = 0;
    f.flags = r.recorded ? &r.flags : nullptr;
    std::string line;
    manifest_format_line(line, f);
    EXPECT_EQ(line, head + r.tail) << r.name;
    json_doc doc;
    manifest_entry e;
    ASSERT_EQ(manifest_parse_line(std::string_view(line).substr(0, line.size() - 1), doc, e),
              manifest_line_kind::entry)
        << r.name;
    EXPECT_EQ(e.has_flags, r.recorded) << r.name;
    EXPECT_EQ(std::vector<std::string>(e.flags.begin(), e.flags.end()), r.flags) << r.name;
  }
}

TEST(ExportManifest, FlagsThatAreNotAListOfTextsDoNotSpoilTheLine) {
  const std::string head = "{\"uid\":7,\"file\":\"uid-7.eml\",\"sha256\":\"" + std::string(64, 'a') + "\"";
  json_doc doc;
  manifest_entry e;
  ASSERT_EQ(manifest_parse_line(head + ",\"flags\":\"\\\\Seen\"}", doc, e), manifest_line_kind::entry);
  EXPECT_FALSE(e.has_flags);
  ASSERT_EQ(manifest_parse_line(head + ",\"flags\":[1,\"\\\\Seen\",null]}", doc, e), manifest_line_kind::entry);
  EXPECT_TRUE(e.has_flags);
  EXPECT_EQ(std::vector<std::string>(e.flags.begin(), e.flags.end()), std::vector<std::string>{"\\Seen"});
}

TEST(ExportManifest, LongestPossibleLineIsWrittenWhole) {
  // Every byte of the longest texts escaped six-fold: far past 4400 bytes.
  std::string from(511, '\x01'), subject(1023, '\xff');
  search_hit h = make_hit(1, from.c_str(), subject.c_str());
  std::string line;
  manifest_line(line, "INBOX", "uid-1.eml", std::string(64, 'a').c_str(), 1, h);
  EXPECT_GT(line.size(), 9000u);
  json_doc doc;
  ASSERT_TRUE(doc.parse(line));
  EXPECT_EQ(std::strlen(json_str(doc.root(), "from")), 511u);
}

TEST(ExportManifest, AppendGivesExactlyWhatCopyAndRenameGives) {
  kqtest::scratch_dir a, b;
  std::string old = line_for(1) + line_for(2);
  kqtest::write_all(a.file("manifest.jsonl"), old);
  kqtest::write_all(b.file("manifest.jsonl"), old);
  job_in j(a.str());
  for (std::uint32_t uid = 3; uid < 40; ++uid) {
    std::string line = line_for(uid, uid % 2 ? "odd" : "\xe2\x82\xac even");
    ASSERT_TRUE(j.append(line));
    copy_and_rename(b.str(), line);
    ASSERT_EQ(kqtest::read_all(a.file("manifest.jsonl")), kqtest::read_all(b.file("manifest.jsonl")))
        << "after uid " << uid;
  }
  // Into an empty directory: the first line creates the file.
  kqtest::scratch_dir c;
  job_in k(c.str());
  ASSERT_TRUE(k.append(line_for(7)));
  EXPECT_EQ(kqtest::read_all(c.file("manifest.jsonl")), line_for(7));
}

TEST(ExportManifest, AppendWritesIntoTheSameFileWithoutCopying) {
  kqtest::scratch_dir d;
  kqtest::write_all(d.file("manifest.jsonl"), line_for(1));
  // A reader that opened the manifest earlier sees the new lines: the file
  // is extended in place, never replaced by a copy.
  std::ifstream early(d.file("manifest.jsonl"), std::ios::binary);
  std::string first;
  std::getline(early, first);
  job_in j(d.str());
  for (std::uint32_t uid = 2; uid <= 5; ++uid) {
    ASSERT_TRUE(j.append(line_for(uid)));
    EXPECT_FALSE(std::filesystem::exists(d.file("manifest.jsonl.tmp")));
  }
  std::string rest((std::istreambuf_iterator<char>(early)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rest, line_for(2) + line_for(3) + line_for(4) + line_for(5));
}

TEST(ExportManifest, AppendNeverGluesOntoATornLine) {
  kqtest::scratch_dir d;
  std::string torn = line_for(1) + line_for(2).substr(0, 30);
  kqtest::write_all(d.file("manifest.jsonl"), torn);
  job_in j(d.str());
  ASSERT_TRUE(j.append(line_for(3)));
  auto lines = kqtest::split_lines(kqtest::read_all(d.file("manifest.jsonl")));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2], line_for(3));
}

TEST(ExportManifest, FailedAppendLeavesNoPartLineAndSaysSo) {
  if (!kqtest::file_size_limit::supported()) GTEST_SKIP() << "no per-process file size limit on this system";
  kqtest::scratch_dir d;
  std::string before = line_for(1);
  kqtest::write_all(d.file("manifest.jsonl"), before);
  job_in j(d.str());
  {
    // The disk "fills" 20 bytes into the next line.
    kqtest::file_size_limit limit(static_cast<long long>(before.size()) + 20);
    EXPECT_FALSE(j.append(line_for(2)));
  }
  // The system's reason follows the path.
  std::string err = last_error(), head = "cannot write " + d.str() + "/manifest.jsonl: ";
  EXPECT_EQ(err.rfind(head, 0), 0u) << err;
  EXPECT_GT(err.size(), head.size()) << err;
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), before);
  // Room again: the retry adds exactly one whole line.
  ASSERT_TRUE(j.append(line_for(2)));
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), before + line_for(2));
}

TEST(ExportManifestPrune, KeepsFirstLineOfEachCompletedUidInOrder) {
  kqtest::scratch_dir d;
  std::string dup2 = line_for(2, "second copy");
  kqtest::write_all(d.file("manifest.jsonl"),
                    line_for(3) + line_for(1) + line_for(2) + dup2 + line_for(4) + line_for(3));
  job_in j(d.str());
  j.job.completed = {1, 2, 3};
  j.files({1, 2, 3, 4});
  ASSERT_TRUE(j.prune(5));
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), line_for(3) + line_for(1) + line_for(2));
  EXPECT_FALSE(std::filesystem::exists(d.file("manifest.jsonl.tmp")));
}

// A re-run of an intact archive prunes nothing: the manifest is not written
// again (nor replaced), unless its last line lost its line feed.
TEST(ExportManifestPrune, KeepingEveryLineLeavesTheFileAsItIs) {
  std::string flags;
  const std::vector<std::string> seen = {"\\Seen"};
  manifest_flag_fields f;
  f.uid = 2;
  f.folder = "INBOX";
  f.flags = &seen;
  f.ts_flags = 1700000000;
  manifest_format_flag_line(flags, f);
  const std::string whole = line_for(1) + line_for(2) + flags + line_for(3);
  struct {
    const char *what;
    std::string text;
    bool written;
  } cases[] = {
      {"every line whole", whole, false},
      {"the last line without its line feed", whole.substr(0, whole.size() - 1), true},
  };
  for (const auto &c : cases) {
    kqtest::scratch_dir d;
    kqtest::write_all(d.file("manifest.jsonl"), c.text);
    auto old = std::filesystem::last_write_time(d.file("manifest.jsonl")) - std::chrono::hours(24);
    std::filesystem::last_write_time(d.file("manifest.jsonl"), old);
    job_in j(d.str());
    j.job.completed = {1, 2, 3};
    j.files({1, 2, 3});
    ASSERT_TRUE(j.prune(3)) << c.what;
    EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), whole) << c.what;
    EXPECT_EQ(std::filesystem::last_write_time(d.file("manifest.jsonl")) != old, c.written) << c.what;
    EXPECT_EQ(j.job.completed, (std::vector<std::uint32_t>{1, 2, 3})) << c.what;
    EXPECT_FALSE(std::filesystem::exists(d.file("manifest.jsonl.tmp"))) << c.what;
  }
}

TEST(ExportManifestPrune, EmptyCompletedListEmptiesTheManifest) {
  kqtest::scratch_dir d;
  kqtest::write_all(d.file("manifest.jsonl"), line_for(1) + line_for(2));
  job_in j(d.str());
  ASSERT_TRUE(j.prune(2));
  EXPECT_TRUE(std::filesystem::exists(d.file("manifest.jsonl")));
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), "");
}

TEST(ExportManifestPrune, DropsWhatDoesNotParseAndEndsTheLastLine) {
  kqtest::scratch_dir d;
  std::string big = line_for(5, std::string(9000, 'x').c_str());  // longer than 8191
  std::string last = line_for(6);
  last.pop_back();  // a last line that lost only its line feed
  kqtest::write_all(d.file("manifest.jsonl"),
                    "garbage\n" + line_for(1) + "{\"uid\":2,\"fol\n" + "[1,2]\n" + "\n" +
                        "{\"uid\":\"3\"}\n" + "{\"uid\":0}\n" + big + line_for(2).substr(0, 25) +
                        "\n" + last);
  job_in j(d.str());
  j.job.completed = {1, 2, 3, 5, 6};
  j.files({1, 2, 3, 5, 6});
  ASSERT_TRUE(j.prune(6));
  std::string after = kqtest::read_all(d.file("manifest.jsonl"));
  EXPECT_EQ(after, line_for(1) + big + line_for(6));
  for (const std::string &l : kqtest::split_lines(after)) {
    json_doc doc;
    EXPECT_TRUE(doc.parse(l));
  }
}

TEST(ExportManifestPrune, TerminatesWithFarMoreUidsThanTheSetFirstHolds) {
  kqtest::scratch_dir d;
  std::string text, want;
  job_in j(d.str());
  for (std::uint32_t uid = 1; uid <= 3000; ++uid) {
    text += line_for(uid);
    want += line_for(uid);
    j.job.completed.push_back(uid);
    j.file(uid);
  }
  for (std::uint32_t uid = 1; uid <= 3000; uid += 7) text += line_for(uid, "dup");
  kqtest::write_all(d.file("manifest.jsonl"), text);
  // Sized for an empty search: 16 slots for 3000 distinct UIDs.
  ASSERT_TRUE(j.prune(0));
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), want);
}

TEST(ExportManifestPrune, UidSetGrowsAndStillFindsEveryUid) {
  uid_set s(1);
  ASSERT_TRUE(s.ok());
  for (std::uint32_t u = 1; u <= 100000; ++u) ASSERT_EQ(s.insert(u), uid_set::added);
  EXPECT_GE(s.slots(), 200000u);
  for (std::uint32_t u = 1; u <= 100000; u += 999) EXPECT_EQ(s.insert(u), uid_set::present);
  // Multiples of 16 all start at slot 0 of a 16-slot set: probing still ends.
  uid_set t(16);
  for (std::uint32_t k = 1; k <= 64; ++k) ASSERT_EQ(t.insert(16 * k), uid_set::added);
  for (std::uint32_t k = 1; k <= 64; ++k) EXPECT_EQ(t.insert(16 * k), uid_set::present);
}

TEST(ExportManifestPrune, LeavesTheManifestAsItWasWhenTheNewOneCannotBeWritten) {
  kqtest::scratch_dir d;
  std::string text = line_for(1) + line_for(2) + line_for(2) + line_for(9);
  kqtest::write_all(d.file("manifest.jsonl"), text);
  job_in j(d.str());
  j.job.completed = {1, 2};
  j.files({1, 2, 9});
  {
    // The temporary file's name is taken by a directory.
    std::filesystem::create_directory(d.file("manifest.jsonl.tmp"));
    EXPECT_FALSE(j.prune(2));
    EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), text);
    std::filesystem::remove(d.file("manifest.jsonl.tmp"));
  }
  if (!kqtest::file_size_limit::supported()) GTEST_SKIP() << "no per-process file size limit on this system";
  {
    // The disk fills while the new file is written.
    kqtest::file_size_limit limit(static_cast<long long>(line_for(1).size()) + 10);
    EXPECT_FALSE(j.prune(2));
  }
  EXPECT_EQ(kqtest::read_all(d.file("manifest.jsonl")), text);
  EXPECT_FALSE(std::filesystem::exists(d.file("manifest.jsonl.tmp")));
}

TEST(ExportManifestPrune, NoManifestIsNothingToDo) {
  kqtest::scratch_dir d;
  job_in j(d.str());
  EXPECT_TRUE(j.prune(0));
  EXPECT_FALSE(std::filesystem::exists(d.file("manifest.jsonl")));
}
