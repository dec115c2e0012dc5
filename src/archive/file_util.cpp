#include "archive/file_util.h"

#include "base/error.h"

namespace kq {

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
