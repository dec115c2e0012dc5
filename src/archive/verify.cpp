// Re-hashes every message file a manifest lists and records the verdicts.
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "archive/sha256_file.h"
#include "archive/verify.h"
#include "base/error.h"
#include "base/text.h"
#include "platform/platform.h"

namespace kq {

namespace {

// A manifest entry may only name a file inside the archive: no absolute
// path, no drive, no ".." step, no embedded NUL. Links on the way are
// refused when the file is opened.
bool inside_archive(std::string_view file) {
  if (file.empty() || file.find('\0') != std::string_view::npos) return false;
  if (file[0] == '/' || file[0] == '\\') return false;
  if (file.size() >= 2 && file[1] == ':') return false;
  std::size_t start = 0;
  while (start <= file.size()) {
    std::size_t end = file.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = file.size();
    if (file.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

template <class T>
void note(std::vector<T> &list, T value) {
  if (list.size() < k_verify_list) list.push_back(value);
}

void add_entry(long long uid, std::string_view file, const char *status) {
  std::string name;
  json_append_str_utf8(name, file);
  verify_add("%s{\"uid\":%lld,\"file\":%s,\"status\":\"%s\"}", archive_outputs().verify.files_len ? "," : "", uid,
             name.c_str(), status);
}

void check_entry(const char *dir, const manifest_entry &e, unsigned char *buf) {
  ++archive_outputs().verify.total;
  char hex[65];
  if (!inside_archive(e.file) ||
      sha256_file_hex(dir, e.file, buf, hex) != plat::contained_file::ok) {
    ++archive_outputs().verify.missing;
    add_entry(e.uid, e.file, "missing");
    return;
  }
  if (e.sha256_is_text && e.sha256 == std::string_view(hex, 64)) {
    ++archive_outputs().verify.ok;
  } else {
    ++archive_outputs().verify.corrupt;
    add_entry(e.uid, e.file, "corrupt");
  }
}

// Every UID resume.json says the archive holds must have an entry of the
// generation the list belongs to.
void check_completeness(const resume_data &resume, resume_load_result loaded,
                        const seen_entries &seen) {
  switch (loaded) {
    case resume_load_result::absent: return;
    case resume_load_result::unreadable:
      archive_outputs().verify.resume = verify_report::resume_unreadable;
      return;
    case resume_load_result::loaded: archive_outputs().verify.resume = verify_report::resume_read; break;
  }
  if (!seen.exact()) return;  // no memory to tell; the entries were still checked
  std::uint64_t gen = resume.uidvalidity ? resume.uidvalidity : resume_base_generation(resume);
  for (std::uint32_t uid : resume.completed) {
    if (uid == 0 || seen.contains({gen, uid})) continue;
    ++archive_outputs().verify.unlisted;
    note(archive_outputs().verify.unlisted_uids, uid);
  }
}

}  // namespace

int verify_dir(const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return -1;
  }
  verify_reset();
  manifest_reader in;
  if (!in.open_or_explain(dir)) return -1;
  // Read first: it says which generation lines without a UIDVALIDITY (those
  // written before it was recorded) belong to.
  resume_data resume;
  resume_load_result loaded = resume_load(dir, resume);
  auto buf = std::make_unique<unsigned char[]>(k_hash_chunk);
  seen_entries seen(resume_base_generation(resume));
  json_doc doc;
  manifest_entry e;
  std::string_view line;
  while (in.next(line)) {
    manifest_line_kind kind =
        in.oversized() ? manifest_line_kind::unreadable : manifest_parse_line(line, doc, e);
    // A flag line updates a message's flags; the message is its entry's.
    if (kind == manifest_line_kind::blank || kind == manifest_line_kind::flag_update) continue;
    if (kind == manifest_line_kind::unreadable) {
      ++archive_outputs().verify.unreadable;
      note(archive_outputs().verify.bad_lines, in.line_number());
      continue;
    }
    if (!seen.first_sight(e)) {
      ++archive_outputs().verify.duplicates;
      note(archive_outputs().verify.duplicate_uids, e.uid);
      continue;
    }
    check_entry(dir, e, buf.get());
  }
  // A manifest that breaks off is no verified archive.
  if (in.failed()) {
    set_err("cannot read manifest.jsonl in %s", dir);
    return -1;
  }
  check_completeness(resume, loaded, seen);
  set_err("%s", "");
  return 0;
}

}  // namespace kq
