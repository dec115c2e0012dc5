// What a restore reads from an archive: the current generation's messages,
// each with the flags of its latest flags line and a date APPEND takes, and
// the ledger of what earlier restores put on a server.
#include <gtest/gtest.h>

#include "archive/restore_ledger.h"
#include "base/error.h"
#include "base/mutf7.h"
#include "restore/restore_job.h"
#include "support/scratch_files.h"

using namespace kq;

namespace {

const std::string k_sha(64, 'a');

std::string entry(unsigned uid, unsigned uv, const std::string &extra = "") {
  return "{\"uid\":" + std::to_string(uid) + ",\"folder\":\"INBOX\",\"uidvalidity\":" + std::to_string(uv) +
         ",\"file\":\"uid-" + std::to_string(uid) + "." + std::to_string(uv) + ".eml\",\"sha256\":\"" + k_sha +
         "\",\"size\":10" + extra + "}\n";
}

std::vector<restore_item> plan_of(const std::string &manifest) {
  kqtest::scratch_dir d;
  kqtest::write_all(d.file("manifest.jsonl"), manifest);
  std::vector<restore_item> out;
  EXPECT_TRUE(restore_plan(d.str(), out)) << last_error();
  return out;
}

}  // namespace

TEST(RestorePlan, OnlyTheLastGenerationWithoutResumeFile) {
  auto items = plan_of(entry(1, 5) + entry(2, 5) + entry(1, 9) + entry(3, 9));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].uid, 1u);
  EXPECT_EQ(items[0].file, "uid-1.9.eml");
  EXPECT_EQ(items[1].uid, 3u);
}

TEST(RestorePlan, FirstLineOfAUidNamesItsFile) {
  auto items = plan_of(entry(4, 9) + "{\"uid\":4,\"uidvalidity\":9,\"file\":\"other.eml\",\"sha256\":\"" + k_sha +
                       "\"}\n");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].file, "uid-4.9.eml");
}

TEST(RestorePlan, LaterFlagsLinesReplaceTheFlagsOfTheirGenerationOnly) {
  auto items = plan_of(entry(1, 9, ",\"flags\":[\"\\\\Seen\"]") + entry(2, 9, ",\"flags\":[\"\\\\Seen\"]") +
                       "{\"uid\":1,\"uidvalidity\":9,\"flags\":[\"\\\\Flagged\",\"$Work\"],\"ts_flags\":1}\n" +
                       "{\"uid\":2,\"uidvalidity\":5,\"flags\":[],\"ts_flags\":1}\n" + "torn line {\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].flags, (std::vector<std::string>{"\\Flagged", "$Work"}));
  EXPECT_EQ(items[1].flags, (std::vector<std::string>{"\\Seen"}));
}

TEST(RestorePlan, DateForAppend) {
  struct {
    const char *extra;
    const char *want;
  } const cases[] = {
      {",\"date\":\"17-Jul-1996 02:44:25 -0700\",\"ts\":837596665", "17-Jul-1996 02:44:25 -0700"},
      {",\"date\":\" 7-Jul-1996 02:44:25 +0000\",\"ts\":836707465", " 7-Jul-1996 02:44:25 +0000"},
      // Not a date APPEND takes: the seconds are written out in UTC.
      {",\"date\":\"Wed, 17 Jul 1996 02:44:25 -0700\",\"ts\":837596665", "17-Jul-1996 09:44:25 +0000"},
      {",\"ts\":0", "01-Jan-1970 00:00:00 +0000"},
      {"", ""},
  };
  for (const auto &c : cases) {
    auto items = plan_of(entry(1, 9, c.extra));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].date, c.want) << c.extra;
  }
}

TEST(RestorePlan, NamesTheFolderOfTheCurrentGeneration) {
  auto line = [](unsigned uid, unsigned uv, const std::string &folder) {
    return "{\"uid\":" + std::to_string(uid) + folder + ",\"uidvalidity\":" + std::to_string(uv) +
           ",\"file\":\"f" + std::to_string(uid) + "\",\"sha256\":\"" + k_sha + "\"}\n";
  };
  struct {
    std::string manifest;
    const char *want;
  } const cases[] = {
      {line(1, 5, ",\"folder\":\"Old\"") + line(1, 9, ",\"folder\":\"Entw&APw-rfe\"") + line(2, 9, ""),
       "Entw&APw-rfe"},
      {line(1, 9, ""), ""},
      {"", ""},
  };
  for (const auto &c : cases) {
    kqtest::scratch_dir d;
    kqtest::write_all(d.file("manifest.jsonl"), c.manifest);
    std::vector<restore_item> items;
    std::string folder = "stale";
    ASSERT_TRUE(restore_plan(d.str(), items, &folder)) << last_error();
    EXPECT_EQ(folder, c.want) << c.manifest;
  }
}

// The target under a prefix goes on the wire as it is returned: the source
// server's name must survive unchanged and the prefix arrive as its letters.
TEST(RestoreTarget, PrefixBeforeTheArchivedName) {
  struct {
    const char *prefix, *archived, *want;
  } const cases[] = {
      {"\xc3\x9c" "ber/", "Entw&APw-rfe", "&ANw-ber/Entw&APw-rfe"},
      {"Copy of ", "Sent", "Copy of Sent"},
      {"", "Entw&APw-rfe", "Entw&APw-rfe"},
      {"A&B/", "Sent", "A&-B/Sent"},
      // A name that is not modified UTF-7 was UTF-8: joined, and encoded
      // whole on the way out.
      {"\xc3\x9c" "ber/", "Entw\xc3\xbcrfe", "\xc3\x9c" "ber/Entw\xc3\xbcrfe"},
      {"", "Entw\xc3\xbcrfe", "Entw\xc3\xbcrfe"},
  };
  for (const auto &c : cases) EXPECT_EQ(restore_target_name(c.prefix, c.archived), c.want) << c.archived;
}

TEST(RestoreTarget, PrefixEndingInALetterBeforeANameStartingWithOne) {
  // "Gr\xc3\xbc" then "\xc3\xa4x": two encoded runs meet.
  std::string name = restore_target_name("Gr\xc3\xbc", "&AOQ-x");
  std::string shown;
  ASSERT_TRUE(mutf7_decode(name, shown)) << name;
  EXPECT_EQ(shown, "Gr\xc3\xbc\xc3\xa4x");
  EXPECT_EQ(folder_wire_name(name), name);
}

TEST(RestoreRequest, FolderOrPrefix) {
  struct {
    const char *config;
    const char *problem;  // nullptr: taken
  } const cases[] = {
      {R"({"dir":"/a","folder":"X"})", nullptr},
      {R"({"dir":"/a","prefix":"P/"})", nullptr},
      {R"({"dir":"/a"})", nullptr},
      {R"({"dir":"/a","folder":"X","prefix":"P/"})", "give folder or prefix, not both"},
      {R"({"folder":"X"})", "config missing dir"},
  };
  for (const auto &c : cases) {
    restore_request r = read_restore_request(c.config);
    if (c.problem) EXPECT_STREQ(r.problem, c.problem) << c.config;
    else EXPECT_EQ(r.problem, nullptr) << c.config;
  }
  EXPECT_STREQ(read_restore_request(("{\"dir\":\"/a\",\"prefix\":\"" + std::string(1001, 'p') + "\"}").c_str()).problem,
               "folder name too long");
}

TEST(RestoreLedger, LinesReadBackSkippingTornAndForeignOnes) {
  kqtest::scratch_dir d;
  restore_ledger_line a{k_sha, 3, "h:143/u", "Target", 77, 12};
  restore_ledger_line b{k_sha, 4, "h:143/u", "Ziel \xc3\xa4", 0, 0};
  std::string lines;
  restore_ledger_format(lines, a);
  restore_ledger_format(lines, b);
  plat::append_file f;
  ASSERT_TRUE(restore_ledger_append(f, d.str().c_str(), "{\"uid\":1}\n" + lines + "{\"uid\":9,\"sha"));
  f.close();
  // The next run closes the torn end before its line goes on.
  ASSERT_TRUE(restore_ledger_append(f, d.str().c_str(), lines.substr(0, lines.find('\n') + 1)));
  f.close();
  std::vector<restore_ledger_line> got = restore_ledger_load(d.str().c_str());
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].uid, 3u);
  EXPECT_EQ(got[0].uidvalidity, 77u);
  EXPECT_EQ(got[0].server_uid, 12u);
  EXPECT_EQ(got[1].folder, "Ziel \xc3\xa4");
  EXPECT_EQ(got[1].server_uid, 0u);
  EXPECT_EQ(got[2].server, "h:143/u");
}
