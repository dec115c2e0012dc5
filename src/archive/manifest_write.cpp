// Appending to and pruning manifest.jsonl; the reading half is manifest.cpp.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "archive/file_util.h"
#include "archive/generation.h"
#include "archive/manifest.h"
#include "platform/platform.h"

namespace kq {

namespace {

struct file_closer {
  void operator()(std::FILE *f) const {
    if (f) std::fclose(f);
  }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

}  // namespace

bool manifest_append(plat::append_file &f, const char *dir, const std::string &line) {
  return append_lines(f, manifest_path(dir), line);
}

namespace {

// Whether the file a manifest line names is there with the size the line
// gives. A file of another size is moved aside (kept, never deleted) so the
// message can be stored again under its name.
//
// A re-run prunes the whole manifest, tens of thousands of lines: each
// message directory is opened once and every file in it looked at relative
// to it (one call a file), instead of a walk from the archive's top and an
// open for each. Lines come in the order they were stored, so the
// directories met recently are the ones met next.
class stored_files {
 public:
  explicit stored_files(const char *dir) : dir_(dir) {}

  bool intact(const manifest_entry &e) {
    std::string_view file = e.file;
    std::size_t slash = file.rfind('/');
    std::string_view sub = slash == std::string_view::npos ? std::string_view() : file.substr(0, slash);
    std::string_view name = slash == std::string_view::npos ? file : file.substr(slash + 1);
    const plat::contained_dir *d = dir_of(sub);
    long long size = d ? d->file_size(name) : -1;
    if (size < 0) return false;
    if (e.has_size && size == e.size) return true;
    std::string path = std::string(dir_) + "/" + std::string(file);
    plat::file_replace(path.c_str(), (path + ".damaged").c_str());
    return false;
  }

 private:
  // The directory below the archive, opened on first use; null when it is
  // not there (or not one to look into).
  const plat::contained_dir *dir_of(std::string_view sub) {
    for (std::size_t i = open_.size(); i-- > 0;)
      if (open_[i].first == sub) return open_[i].second->is_open() ? open_[i].second.get() : nullptr;
    // A bound on directories held open: an archive spans a few hundred months.
    if (open_.size() >= k_held) open_.erase(open_.begin());
    auto d = std::make_unique<plat::contained_dir>();
    d->open(dir_, sub);
    open_.emplace_back(std::string(sub), std::move(d));
    return open_.back().second->is_open() ? open_.back().second.get() : nullptr;
  }

  static constexpr std::size_t k_held = 32;
  const char *dir_;
  std::vector<std::pair<std::string, std::unique_ptr<plat::contained_dir>>> open_;
};

}  // namespace

bool manifest_prune(const char *dir, const archive_generation &gen,
                    std::vector<std::uint32_t> &completed, std::size_t expected_uids) {
  std::string path = manifest_path(dir);
  std::string tmp = path + ".tmp";
  manifest_reader in;
  plat::contained_file::status st = in.open(dir);
  if (st == plat::contained_file::absent) {
    // Nothing indexes the completed messages: they are stored again.
    completed.clear();
    return true;
  }
  if (st != plat::contained_file::ok) return false;
  file_ptr out(plat::file_open(tmp.c_str(), "wb"));
  if (!out) return false;
  bool ok = true;
  // UIDs of the current generation whose line was kept and whose file is
  // intact: only these still count as completed.
  uid_set intact(2 * expected_uids + 16);
  bool intact_exact = intact.ok();
  stored_files files(dir);
  try {
    // Kept lines go straight to the new file, so memory never limits what
    // survives; a failure anywhere leaves the old manifest in place.
    uid_set seen(2 * expected_uids + 16);
    bool dedup = seen.ok();
    json_doc doc;
    manifest_entry e;
    std::string_view line;
    while (ok && in.next(line)) {
      if (in.oversized()) continue;
      manifest_line_kind kind = manifest_parse_line(line, doc, e);
      if (kind != manifest_line_kind::entry && kind != manifest_line_kind::flag_update) continue;
      // Another generation's messages stay listed as they are: the folder
      // was created again, its earlier messages are still archived.
      bool current = line_generation(gen, e) == gen.uidvalidity;
      if (current && kind == manifest_line_kind::flag_update) {
        // Flag lines are kept as they are rather than folded into their
        // message's line: kept lines are copied unchanged, and a line
        // rewritten here could differ from the one verification checked.
        // A flag line always follows its message's line, so `intact`
        // already tells whether that message stays; without an exact set
        // the completed list decides.
        bool keep = intact_exact ? intact.contains(e.uid)
                                 : std::binary_search(completed.begin(), completed.end(), e.uid);
        if (!keep) continue;
      } else if (current) {
        if (!std::binary_search(completed.begin(), completed.end(), e.uid)) continue;
        if (dedup) {
          uid_set::result r = seen.insert(e.uid);
          if (r == uid_set::present) continue;
          if (r == uid_set::failed) dedup = false;  // keep going without duplicate removal
        }
        if (!files.intact(e)) continue;
        if (intact_exact && intact.insert(e.uid) == uid_set::failed) intact_exact = false;
      }
      ok = std::fwrite(line.data(), 1, line.size(), out.get()) == line.size() &&
           std::fputc('\n', out.get()) != EOF;
    }
    if (in.failed()) ok = false;
  } catch (const std::bad_alloc &) {
    ok = false;
  }
  ok = std::fflush(out.get()) == 0 && ok;
  ok = std::fclose(out.release()) == 0 && ok;
  in.close();
  if (ok && plat::file_replace(tmp.c_str(), path.c_str())) {
    // A completed UID whose line was dropped (file missing or cut) is
    // fetched again.
    if (intact_exact)
      std::erase_if(completed, [&](std::uint32_t uid) { return !intact.contains(uid); });
    return true;
  }
  std::remove(tmp.c_str());
  return false;
}

}  // namespace kq
