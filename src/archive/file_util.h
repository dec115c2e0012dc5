// Small file helpers shared by the archive writers.
#pragma once

#include <cstring>

#include "platform/platform.h"

namespace kq {

// True when a non-empty file does not end with a line feed: its last line
// was torn (a crash), and anything appended would be glued onto it.
inline bool ends_inside_line(const char *path) {
  long long size = plat::file_size(path);
  char last = '\n';
  return size > 0 && plat::read_at(path, size - 1, &last, 1) == 1 && last != '\n';
}

// True when offset `at` of an mbox file is where one record ends and the
// next begins (or the file ends): "\r\n\r\n" before it, "From " or nothing
// after it.
inline bool mbox_record_boundary(const char *path, long long at) {
  if (at == 0) return true;
  if (at < 4) return false;
  char b[9] = {};
  long long n = plat::read_at(path, at - 4, b, sizeof b);
  if (n < 4 || b[0] != '\r' || b[1] != '\n' || b[2] != '\r' || b[3] != '\n') return false;
  return n == 4 || (n == 9 && std::memcmp(b + 4, "From ", 5) == 0);
}

}  // namespace kq
