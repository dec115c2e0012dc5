// A file helper shared by the archive writers of line-based files.
#pragma once

#include "platform/platform.h"

namespace kq {

// True when a non-empty file does not end with a line feed: its last line
// was torn (a crash), and anything appended would be glued onto it.
inline bool ends_inside_line(const char *path) {
  long long size = plat::file_size(path);
  char last = '\n';
  return size > 0 && plat::read_at(path, size - 1, &last, 1) == 1 && last != '\n';
}

}  // namespace kq
