// Taking an archive's hold clears what a killed run left behind, and only
// that: its own temporary names in the archive directory, never another
// run's live files, never anyone else's.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/hold.h"
#include "support/scratch_files.h"

namespace fs = std::filesystem;

namespace {

void make(const kqtest::scratch_dir &d, const std::string &name) {
  fs::create_directories(fs::path(d.file(name)).parent_path());
  kqtest::write_all(d.file(name), "left behind");
}

}  // namespace

TEST(ArchiveHold, TakingItRemovesTheTemporaryFilesAKilledRunLeft) {
  kqtest::scratch_dir d;
  const std::vector<std::string> leftovers = {
      ".incoming-0.part",     ".incoming-1.part", ".incoming-2.part", ".incoming-3.part",
      "tmp/.incoming-1.part",  // a Maildir archive spools into its tmp/
      "resume.json.tmp",      "manifest.jsonl.tmp"};
  // Names the writers never make, or made elsewhere, are someone else's.
  const std::vector<std::string> others = {
      ".incoming-4.part", ".incoming-x.part",  "incoming-0.part",       "notes.tmp",
      "uid-7.eml",        "uid-7.eml.damaged", "2024-01/.incoming-0.part", "other.json.tmp"};
  for (const std::string &n : leftovers) make(d, n);
  for (const std::string &n : others) make(d, n);
  kq::archive_hold hold;
  ASSERT_TRUE(hold.take(d.str()));
  for (const std::string &n : leftovers) EXPECT_FALSE(fs::exists(d.file(n))) << n;
  for (const std::string &n : others) EXPECT_TRUE(fs::exists(d.file(n))) << n;
}

TEST(ArchiveHold, ARefusedHolderLeavesTheLiveRunsFilesAlone) {
  kqtest::scratch_dir d;
  kq::archive_hold live, second;
  ASSERT_TRUE(live.take(d.str()));
  // The live run is receiving a large body and rewriting resume.json.
  make(d, ".incoming-2.part");
  make(d, "resume.json.tmp");
  EXPECT_FALSE(second.take(d.str()));
  EXPECT_TRUE(fs::exists(d.file(".incoming-2.part")));
  EXPECT_TRUE(fs::exists(d.file("resume.json.tmp")));
  // Once the run is gone, what it left is a leftover.
  live.release();
  ASSERT_TRUE(second.take(d.str()));
  EXPECT_FALSE(fs::exists(d.file(".incoming-2.part")));
  EXPECT_FALSE(fs::exists(d.file("resume.json.tmp")));
}
