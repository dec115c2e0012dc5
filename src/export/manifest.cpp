#include "export/manifest.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/text.h"
#include "export/file_util.h"
#include "export/resume.h"
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

void manifest_line(std::string &out, const char *folder, const std::string &file,
                   const char *sha256_hex, std::uint64_t size, const search_hit &hit) {
  manifest_fields f;
  f.uid = hit.uid;
  f.folder = folder;
  f.file = file;
  f.sha256 = sha256_hex;
  f.size = size;
  f.from = hit.from;
  f.subject = hit.subject;
  f.date = hit.date;
  f.ts = hit.ts;
  manifest_format_line(out, f);
}

bool manifest_append(export_job *job, const std::string &line) {
  std::string path = manifest_path(job->dir);
  plat::append_file &f = job->manifest_file;
  if (!f.is_open()) {
    bool torn = ends_inside_line(path.c_str());
    if (!f.open(path.c_str(), false) || (torn && !f.write("\n", 1))) {
      f.close();
      set_err("cannot write %s", path.c_str());
      return false;
    }
  }
  long long before = f.size();
  if (f.write(line.data(), line.size())) return true;
  // Never leave half a line for the next one to be glued onto.
  if (before >= 0) f.truncate(before);
  set_err("cannot write %s", path.c_str());
  return false;
}

bool manifest_prune(const export_job *job, std::size_t expected_uids) {
  std::string path = manifest_path(job->dir);
  std::string tmp = path + ".tmp";
  manifest_reader in;
  plat::contained_file::status st = in.open(job->dir);
  if (st == plat::contained_file::absent) return true;  // nothing to prune
  if (st != plat::contained_file::ok) return false;
  file_ptr out(plat::file_open(tmp.c_str(), "wb"));
  if (!out) return false;
  bool ok = true;
  try {
    // Kept lines go straight to the new file, so memory never limits what
    // survives; a failure anywhere leaves the old manifest in place.
    uid_set seen(2 * expected_uids + 16);
    bool dedup = seen.ok();
    json_doc doc;
    manifest_entry e;
    std::string_view line;
    while (ok && in.next(line)) {
      if (in.oversized() || manifest_parse_line(line, doc, e) != manifest_line_kind::entry) continue;
      if (!resume_has(job, e.uid)) continue;
      if (dedup) {
        uid_set::result r = seen.insert(e.uid);
        if (r == uid_set::present) continue;
        if (r == uid_set::failed) dedup = false;  // keep going without duplicate removal
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
  if (ok && plat::file_replace(tmp.c_str(), path.c_str())) return true;
  std::remove(tmp.c_str());
  return false;
}

}  // namespace kq
