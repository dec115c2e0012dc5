// One run at a time per archive directory. Two runs writing one archive
// would both fetch everything and both append to its manifest, so the
// second is refused before it reads or writes anything there.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kq {

// Creates dir when missing and holds it with lock. False, with
// "archive DIR is in use by another run (pid N)" or the reason the lock
// could not be taken in last_error, when it is not held.
bool hold_archive(plat::dir_lock &lock, const std::string &dir);

}  // namespace kq
