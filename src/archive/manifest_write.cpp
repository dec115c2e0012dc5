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
#include "archive/durable.h"
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

// The pruned manifest, written only once it differs from the old one: a
// prune that keeps every line as it is, as on every re-run of an intact
// archive, leaves the file alone (no rewrite, no rename). Kept lines are
// only counted until the first line is dropped; the new file then starts
// with them, read again from the old one, so memory never limits what
// survives.
class pruned_copy {
 public:
  pruned_copy(const char *dir, std::string tmp) : dir_(dir), tmp_(std::move(tmp)) {}
  ~pruned_copy() {
    if (out_) {
      out_.reset();
      std::remove(tmp_.c_str());
    }
  }
  pruned_copy(const pruned_copy &) = delete;
  pruned_copy &operator=(const pruned_copy &) = delete;

  bool keep(std::string_view line) {
    if (out_) return put(line);
    ++lines_;
    bytes_ += line.size() + 1;
    return true;
  }
  // The new file will differ from the old: it is begun with the lines kept
  // so far.
  bool differs() {
    if (out_ || failed_) return !failed_;
    out_.reset(plat::file_open(tmp_.c_str(), "wb"));
    manifest_reader again;
    failed_ = !out_ || again.open(dir_) != plat::contained_file::ok;
    std::string_view line;
    for (std::uint64_t i = 0; i < lines_ && !failed_; ++i)
      failed_ = !again.next(line) || again.oversized() || !put(line);
    return !failed_;
  }
  bool started() const { return out_ != nullptr; }
  // Bytes of the old file the kept lines stand for while nothing differs.
  std::uint64_t kept_bytes() const { return bytes_; }
  // Closes the new file; false when any of it may not have been written.
  bool close() {
    bool ok = std::fflush(out_.get()) == 0 && !failed_;
    ok = std::fclose(out_.release()) == 0 && ok;
    return ok;
  }
  // The new file is no longer wanted (or was moved over the old).
  void drop() {
    if (out_) std::fclose(out_.release());
    std::remove(tmp_.c_str());
  }

 private:
  bool put(std::string_view line) {
    return std::fwrite(line.data(), 1, line.size(), out_.get()) == line.size() &&
           std::fputc('\n', out_.get()) != EOF;
  }
  const char *dir_;
  std::string tmp_;
  file_ptr out_;
  bool failed_ = false;
  std::uint64_t lines_ = 0;
  std::uint64_t bytes_ = 0;
};

}  // namespace

bool manifest_prune(const char *dir, const archive_generation &gen,
                    std::vector<std::uint32_t> &completed, std::size_t expected_uids) {
  std::string path = manifest_path(dir);
  manifest_reader in;
  plat::contained_file::status st = in.open(dir);
  if (st == plat::contained_file::absent) {
    // Nothing indexes the completed messages: they are stored again.
    completed.clear();
    return true;
  }
  if (st != plat::contained_file::ok) return false;
  pruned_copy out(dir, path + ".tmp");
  bool ok = true;
  // UIDs of the current generation whose line was kept and whose file is
  // intact: only these still count as completed.
  uid_set intact(2 * expected_uids + 16);
  bool intact_exact = intact.ok();
  stored_files files(dir);
  try {
    // A failure anywhere leaves the old manifest in place.
    uid_set seen(2 * expected_uids + 16);
    bool dedup = seen.ok();
    json_doc doc;
    manifest_entry e;
    std::string_view line;
    while (ok && in.next(line)) {
      if (in.oversized()) {
        ok = out.differs();
        continue;
      }
      manifest_line_kind kind = manifest_parse_line(line, doc, e);
      bool keep = kind == manifest_line_kind::entry || kind == manifest_line_kind::flag_update;
      // Another generation's messages stay listed as they are: the folder
      // was created again, its earlier messages are still archived.
      bool current = keep && line_generation(gen, e) == gen.uidvalidity;
      if (current && kind == manifest_line_kind::flag_update) {
        // Flag lines are kept as they are rather than folded into their
        // message's line: kept lines are copied unchanged, and a line
        // rewritten here could differ from the one verification checked.
        // A flag line always follows its message's line, so `intact`
        // already tells whether that message stays; without an exact set
        // the completed list decides.
        keep = intact_exact ? intact.contains(e.uid)
                            : std::binary_search(completed.begin(), completed.end(), e.uid);
      } else if (current) {
        keep = std::binary_search(completed.begin(), completed.end(), e.uid);
        if (keep && dedup) {
          uid_set::result r = seen.insert(e.uid);
          if (r == uid_set::present) keep = false;
          if (r == uid_set::failed) dedup = false;  // keep going without duplicate removal
        }
        keep = keep && files.intact(e);
        if (keep && intact_exact && intact.insert(e.uid) == uid_set::failed) intact_exact = false;
      }
      ok = keep ? out.keep(line) : out.differs();
    }
    if (in.failed()) ok = false;
    // Every line kept: the old file is the pruned one, unless its last line
    // lacks its line end (a new file ends it).
    if (ok && !out.started() && in.size() != static_cast<long long>(out.kept_bytes())) ok = out.differs();
  } catch (const std::bad_alloc &) {
    ok = false;
  }
  bool rewrite = out.started();
  if (rewrite) ok = out.close() && ok;
  in.close();
  // The new file reaches the disk before it replaces the old one, and the
  // directory after: a power cut never leaves a manifest that lost lines.
  bool durable = durable_writes();
  if (ok && rewrite && durable) ok = plat::sync_path((path + ".tmp").c_str());
  if (ok && rewrite) ok = plat::file_replace((path + ".tmp").c_str(), path.c_str());
  if (rewrite && !ok) out.drop();
  if (!ok) return false;
  if (rewrite && durable) plat::sync_path(dir);
  // A completed UID whose line was dropped (file missing or cut) is
  // fetched again.
  if (intact_exact) std::erase_if(completed, [&](std::uint32_t uid) { return !intact.contains(uid); });
  return true;
}

}  // namespace kq
