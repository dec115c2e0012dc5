// Damaged and hostile archives: each fault is reported by verification and
// statistics, neither hangs, and nothing outside the archive is read. A
// file outside always holds exactly what the manifest expects, so reading it
// would show as "ok".
#include <gtest/gtest.h>
#include <yyjson.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "archive_fixture.h"
#include "base/text.h"
#include "kerquill.h"
#include "platform/platform.h"
#include "support/links.h"

using namespace archive_test;
namespace fs = std::filesystem;

namespace {

// outer/secret.eml ("abc") beside an intact archive outer/arch of three
// messages whose resume.json lists exactly them.
struct archive_with_neighbour {
  temp_dir outer{"faults"};
  fs::path arch = outer.path() / "arch";
  std::string manifest;
  archive_with_neighbour() {
    write_file(outer.path() / "secret.eml", "abc");
    write_file(outer.path() / "elsewhere" / "uid-5.eml", "abc");
    write_file(arch / "uid-1.eml", "abc");
    write_file(arch / "2024-01" / "uid-2.eml", "The quick brown fox jumps over the lazy dog");
    write_file(arch / "uid-3.eml", "");
    manifest = manifest_line(1, "uid-1.eml", k_sha_abc) +
               manifest_line(2, "2024-01/uid-2.eml", k_sha_fox) +
               manifest_line(3, "uid-3.eml", k_sha_empty);
    write_file(arch / "manifest.jsonl", manifest);
    write_resume("[1,2,3]");
  }
  void write_resume(const std::string &completed) {
    write_file(arch / "resume.json",
               "{\"folder\":\"INBOX\",\"last_uid\":3,\"completed\":" + completed + "}");
  }
  void add_line(const std::string &line) {
    manifest += line;
    write_file(arch / "manifest.jsonl", manifest);
  }
  std::string dir() const { return arch.string(); }
};

struct verdict {
  long long ok = -1, missing = -1, corrupt = -1, total = -1, unreadable = -1, duplicates = -1,
            unlisted = -1;
  bool intact = false;
  std::string resume, files;
};

verdict verify(const std::string &dir) {
  verdict v;
  EXPECT_EQ(kq_verify_dir(dir.c_str()), 0) << kq_last_error();
  kq::json_doc d;
  EXPECT_TRUE(d.parse(kq_verify_report_json()));
  yyjson_val *r = d.root();
  v.ok = kq::json_num(r, "ok", -1);
  v.missing = kq::json_num(r, "missing", -1);
  v.corrupt = kq::json_num(r, "corrupt", -1);
  v.total = kq::json_num(r, "total", -1);
  v.unreadable = kq::json_num(r, "unreadable_lines", -1);
  v.duplicates = kq::json_num(r, "duplicates", -1);
  v.unlisted = kq::json_num(r, "unlisted", -1);
  v.intact = yyjson_get_bool(kq::json_key(r, "intact"));
  v.resume = kq::json_str(r, "resume") ? kq::json_str(r, "resume") : "?";
  yyjson_val *files = kq::json_key(r, "files");
  std::size_t i, n;
  yyjson_val *f;
  yyjson_arr_foreach(files, i, n, f) {
    v.files += std::to_string(kq::json_num(f, "uid", 0)) + ":" + kq::json_str(f, "status") + " ";
  }
  return v;
}

long long stats_messages(const std::string &dir) {
  kq::json_doc d;
  if (!d.parse(kq_archive_stats_json(dir.c_str()))) return -1;
  return kq::json_num(d.root(), "messages", -1);
}

}  // namespace

TEST(ArchiveFaults, IntactArchiveIsIntact) {
  archive_with_neighbour a;
  verdict v = verify(a.dir());
  EXPECT_EQ(v.ok, 3);
  EXPECT_EQ(v.total, 3);
  EXPECT_EQ(v.resume, "read");
  EXPECT_TRUE(v.intact);
  EXPECT_EQ(stats_messages(a.dir()), 3);
}

TEST(ArchiveFaults, TruncatedFlippedAndDeletedFiles) {
  archive_with_neighbour a;
  fs::resize_file(a.arch / "2024-01" / "uid-2.eml", 10);
  write_file(a.arch / "uid-1.eml", "abd");
  fs::remove(a.arch / "uid-3.eml");
  verdict v = verify(a.dir());
  EXPECT_EQ(v.files, "1:corrupt 2:corrupt 3:missing ");
  EXPECT_FALSE(v.intact);
  EXPECT_EQ(stats_messages(a.dir()), 3);  // stats reads the manifest only
}

TEST(ArchiveFaults, LinksOutOfTheArchiveAreReportedNotHashed) {
  archive_with_neighbour a;
  KQ_SYMLINK_OR_SKIP(a.outer.path() / "secret.eml", a.arch / "uid-4.eml", false);
  KQ_SYMLINK_OR_SKIP("../secret.eml", a.arch / "uid-6.eml", false);
  KQ_SYMLINK_OR_SKIP(a.outer.path() / "elsewhere", a.arch / "sub", true);
  a.add_line(manifest_line(4, "uid-4.eml", k_sha_abc) + manifest_line(5, "sub/uid-5.eml", k_sha_abc) +
             manifest_line(6, "uid-6.eml", k_sha_abc) + manifest_line(7, "../secret.eml", k_sha_abc) +
             manifest_line(8, "./uid-1.eml", k_sha_abc) + manifest_line(9, "2024-01//uid-2.eml", k_sha_fox));
  verdict v = verify(a.dir());
  EXPECT_EQ(v.ok, 3);
  EXPECT_EQ(v.files, "4:missing 5:missing 6:missing 7:missing 8:missing 9:missing ");
  EXPECT_FALSE(v.intact);
}

TEST(ArchiveFaults, LinkToADeviceOrAFifoNeitherHangsNorIsRead) {
  archive_with_neighbour a;
  KQ_SYMLINK_OR_SKIP("/dev/zero", a.arch / "uid-4.eml", false);
  KQ_FIFO_OR_SKIP(a.arch / "uid-5.eml");
  a.add_line(manifest_line(4, "uid-4.eml", k_sha_abc) + manifest_line(5, "uid-5.eml", k_sha_abc));
  verdict v = verify(a.dir());
  EXPECT_EQ(v.files, "4:missing 5:missing ");
}

TEST(ArchiveFaults, ManifestThatIsALinkOrAFifoIsRefused) {
  archive_with_neighbour a;
  const std::string refused = "manifest.jsonl in " + a.dir() + " is not a regular file";
  fs::remove(a.arch / "manifest.jsonl");
  KQ_SYMLINK_OR_SKIP("/dev/zero", a.arch / "manifest.jsonl", false);
  EXPECT_EQ(kq_verify_dir(a.dir().c_str()), -1);
  EXPECT_EQ(kq_last_error(), refused);
  EXPECT_STREQ(kq_archive_stats_json(a.dir().c_str()), "");
  EXPECT_EQ(kq_last_error(), refused);

  // Even a link to a good manifest elsewhere is not followed.
  fs::remove(a.arch / "manifest.jsonl");
  write_file(a.outer.path() / "other.jsonl", a.manifest);
  KQ_SYMLINK_OR_SKIP(a.outer.path() / "other.jsonl", a.arch / "manifest.jsonl", false);
  EXPECT_EQ(kq_verify_dir(a.dir().c_str()), -1);
  EXPECT_EQ(kq_last_error(), refused);

  fs::remove(a.arch / "manifest.jsonl");
  KQ_FIFO_OR_SKIP(a.arch / "manifest.jsonl");
  EXPECT_EQ(kq_verify_dir(a.dir().c_str()), -1);  // returns instead of blocking in open
  EXPECT_EQ(kq_last_error(), refused);
  EXPECT_STREQ(kq_archive_stats_json(a.dir().c_str()), "");
}

TEST(ArchiveFaults, GarbageLinesAreCountedAndNotMessages) {
  archive_with_neighbour a;
  a.add_line("\x01\xff garbage\n{\"uid\":4,\"file\":\"uid-4.eml\"}\n{\"uid\":0,\"file\":\"x\",\"sha256\":\"\"}\n");
  verdict v = verify(a.dir());
  EXPECT_EQ(v.ok, 3);
  EXPECT_EQ(v.unreadable, 3);
  EXPECT_FALSE(v.intact);
  EXPECT_EQ(stats_messages(a.dir()), 3);
}

TEST(ArchiveFaults, DuplicateLineIsCheckedOnceAndReported) {
  archive_with_neighbour a;
  a.add_line(manifest_line(2, "2024-01/uid-2.eml", k_sha_fox));
  verdict v = verify(a.dir());
  EXPECT_EQ(v.ok, 3);
  EXPECT_EQ(v.total, 3);
  EXPECT_EQ(v.duplicates, 1);
  EXPECT_FALSE(v.intact);
  EXPECT_EQ(stats_messages(a.dir()), 3);
}

TEST(ArchiveFaults, UidsTheResumeFileListsWithoutALineAreUnlisted) {
  archive_with_neighbour a;
  a.write_resume("[1,2,3,4,5]");
  verdict v = verify(a.dir());
  EXPECT_EQ(v.ok, 3);
  EXPECT_EQ(v.unlisted, 2);
  EXPECT_FALSE(v.intact);

  // An empty manifest claims nothing, but the resume file still does.
  write_file(a.arch / "manifest.jsonl", "");
  v = verify(a.dir());
  EXPECT_EQ(v.total, 0);
  EXPECT_EQ(v.unlisted, 5);
  EXPECT_FALSE(v.intact);

  // A manifest cut to 1,000 of 2,000 stored messages.
  std::string m, completed = "[";
  for (unsigned uid = 1; uid <= 2000; ++uid) {
    if (uid <= 1000) m += manifest_line(uid, "uid-1.eml", k_sha_abc);
    completed += (uid > 1 ? "," : "") + std::to_string(uid);
  }
  write_file(a.arch / "manifest.jsonl", m);
  a.write_resume(completed + "]");
  v = verify(a.dir());
  EXPECT_EQ(v.ok, 1000);
  EXPECT_EQ(v.unlisted, 1000);
  EXPECT_FALSE(v.intact);
}

TEST(ArchiveFaults, ResumeFileThatCannotBeReadLeavesTheArchiveUnproven) {
  archive_with_neighbour a;
  write_file(a.arch / "resume.json", "{\"completed\":[1,2");
  verdict v = verify(a.dir());
  EXPECT_EQ(v.resume, "unreadable");
  EXPECT_FALSE(v.intact);

  // Without a resume file there is nothing to compare with.
  fs::remove(a.arch / "resume.json");
  v = verify(a.dir());
  EXPECT_EQ(v.resume, "absent");
  EXPECT_TRUE(v.intact);

  KQ_SYMLINK_OR_SKIP("/dev/zero", a.arch / "resume.json", false);
  v = verify(a.dir());
  EXPECT_EQ(v.resume, "unreadable");
  EXPECT_EQ(v.ok, 3);
}

TEST(ContainedFile, OpensOnlyRegularFilesReachedWithoutLinks) {
  temp_dir d("contained");
  write_file(d.path() / "a" / "b.txt", "xyz");
  using st = kq::plat::contained_file;
  st f;
  const std::string dir = d.str();
  ASSERT_EQ(f.open(dir.c_str(), "a/b.txt"), st::ok);
  char buf[8];
  EXPECT_EQ(f.read(buf, sizeof buf), 3);
  EXPECT_EQ(f.read(buf, sizeof buf), 0);
  EXPECT_EQ(f.size(), 3);
  EXPECT_EQ(f.open(dir.c_str(), "a/none"), st::absent);
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(f.open(dir.c_str(), "none/b.txt"), st::absent);
  EXPECT_EQ(f.open(dir.c_str(), "a/b.txt/c"), st::absent);
  for (const char *rel : {"a", "", "a//b.txt", "./a/b.txt", "a/../a/b.txt", "a/"})
    EXPECT_EQ(f.open(dir.c_str(), rel), st::refused) << rel;
  EXPECT_EQ(f.open((d.path() / "missing").string().c_str(), "b.txt"), st::absent);

  KQ_SYMLINK_OR_SKIP(d.path() / "a", d.path() / "link-a", true);
  KQ_SYMLINK_OR_SKIP(d.path() / "a" / "b.txt", d.path() / "a" / "link-b", false);
  for (const char *rel : {"link-a/b.txt", "a/link-b"}) EXPECT_EQ(f.open(dir.c_str(), rel), st::refused) << rel;
  // The directory itself may be reached through a link.
  EXPECT_EQ(f.open((d.path() / "link-a").string().c_str(), "b.txt"), st::ok);
}
