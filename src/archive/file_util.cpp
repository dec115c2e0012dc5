#include "archive/file_util.h"

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "base/error.h"

namespace kq {

std::string incoming_name(unsigned n) { return ".incoming-" + std::to_string(n) + ".part"; }

void remove_leftover_temps(const std::string &dir) {
  // Fixed names, each looked for where it is made; nothing else is removed.
  for (const char *sub : {"/", "/tmp/"})
    for (unsigned n = 0; n < k_incoming_names; ++n) plat::remove_file((dir + sub + incoming_name(n)).c_str());
  // Both are written whole to "<name>.tmp" and renamed over the old file.
  for (const char *name : {k_resume_name, k_manifest_name})
    plat::remove_file((dir + "/" + name + ".tmp").c_str());
}

bool append_lines(plat::append_file &f, const std::string &path, const std::string &text) {
  if (!f.is_open()) {
    bool torn = ends_inside_line(path.c_str());
    if (!f.open(path.c_str(), false) || (torn && !f.write("\n", 1))) {
      int err = plat::last_errno();
      f.close();
      set_err("cannot write %s: %s", path.c_str(), plat::error_text(err));
      return false;
    }
  }
  long long before = f.size();
  if (f.write(text.data(), text.size())) return true;
  int err = plat::last_errno();
  // Never leave half a line for the next one to be glued onto.
  if (before >= 0) f.truncate(before);
  set_err("cannot write %s: %s", path.c_str(), plat::error_text(err));
  return false;
}

}  // namespace kq
