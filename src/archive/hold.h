// One run at a time per archive directory. Two runs writing one archive
// would both fetch everything and both append to its manifest, so the
// second is refused before it reads or writes anything there.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kq {

class archive_hold {
 public:
  // Creates dir when missing and holds it. False, with "archive DIR is in
  // use by another run (pid N)" or why the lock could not be taken in
  // last_error, when it is not held.
  bool take(const std::string &dir);
  // Lets go. A directory that taking the hold created and that nothing
  // filled since is removed again: a run that failed at once leaves none.
  void release();
  bool is_held() const { return lock_.is_held(); }

 private:
  plat::dir_lock lock_;
  std::string made_;
};

}  // namespace kq
