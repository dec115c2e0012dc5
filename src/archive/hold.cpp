#include "archive/hold.h"

#include "archive/file_util.h"
#include "archive/layout.h"
#include "base/error.h"

namespace kq {

namespace {

// Beside the archive's files while a run holds it; never listed in a
// manifest, so verify and stats pass it by.
constexpr const char *k_lock_name = ".kerquill.lock";

}  // namespace

bool archive_hold::take(const std::string &dir) {
  release();
  if (!plat::path_exists(dir.c_str())) made_ = dir;
  mkdirs(dir.c_str());
  long pid = 0;
  int err = 0;
  switch (lock_.acquire(dir.c_str(), k_lock_name, &pid, &err)) {
    case plat::dir_lock::held:
      // Any temporary file here now is a killed run's: none is live while
      // the hold is ours.
      remove_leftover_temps(dir);
      return true;
    case plat::dir_lock::busy:
      made_.clear();  // the holder's, not ours
      if (pid > 0) set_err("archive %s is in use by another run (pid %ld)", dir.c_str(), pid);
      else set_err("archive %s is in use by another run", dir.c_str());
      return false;
    case plat::dir_lock::failed:
      break;
  }
  set_err("cannot write %s: %s", dir.c_str(), plat::error_text(err));
  release();
  return false;
}

void archive_hold::release() {
  lock_.release();
  if (!made_.empty()) plat::remove_empty_dir(made_.c_str());
  made_.clear();
}

}  // namespace kq
