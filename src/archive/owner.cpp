#include "archive/owner.h"

#include <new>
#include <string>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "base/error.h"
#include "base/text.h"

namespace kq {

namespace {

// The folder the first readable manifest line names; empty when none does.
std::string manifest_folder(const char *dir) {
  manifest_reader in;
  if (in.open(dir) != plat::contained_file::ok) return {};
  json_doc doc;
  manifest_entry e;
  std::string_view line;
  while (in.next(line)) {
    if (in.oversized() || manifest_parse_line(line, doc, e) != manifest_line_kind::entry) continue;
    return std::string(e.folder);
  }
  return {};
}

bool refuse(const char *dir, const std::string &owner, const char *folder) {
  set_err("%s holds the archive of folder \"%s\", not of \"%s\"; nothing was changed", dir,
          owner.c_str(), folder);
  return false;
}

}  // namespace

bool archive_accepts_folder(const char *dir, const char *folder) {
  try {
    resume_data data;
    if (resume_load(dir, data) == resume_load_result::loaded && data.has_folder &&
        data.folder != folder)
      return refuse(dir, data.folder, folder);
    std::string owner = manifest_folder(dir);
    if (!owner.empty() && owner != folder) return refuse(dir, owner, folder);
  } catch (const std::bad_alloc &) {
    // Unknown: the store itself still never replaces a file's bytes.
  }
  return true;
}

}  // namespace kq
