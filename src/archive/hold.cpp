#include "archive/hold.h"

#include "archive/layout.h"
#include "base/error.h"

namespace kq {

namespace {

// Beside the archive's files; never listed in a manifest, so verify and
// stats pass it by.
constexpr const char *k_lock_name = ".kerquill.lock";

}  // namespace

bool hold_archive(plat::dir_lock &lock, const std::string &dir) {
  mkdirs(dir.c_str());
  long pid = 0;
  int err = 0;
  switch (lock.acquire(dir.c_str(), k_lock_name, &pid, &err)) {
    case plat::dir_lock::held:
      return true;
    case plat::dir_lock::busy:
      if (pid > 0) set_err("archive %s is in use by another run (pid %ld)", dir.c_str(), pid);
      else set_err("archive %s is in use by another run", dir.c_str());
      return false;
    case plat::dir_lock::failed:
      break;
  }
  set_err("cannot write %s: %s", dir.c_str(), plat::error_text(err));
  return false;
}

}  // namespace kq
