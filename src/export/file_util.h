// Small file helpers shared by the archive writers.
#pragma once

#include <cstdio>
#include <memory>

namespace kq {

struct file_closer {
  void operator()(std::FILE *f) const {
    if (f) std::fclose(f);
  }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// True when a non-empty file does not end with a line feed: its last line
// was torn (a crash), and anything appended would be glued onto it.
inline bool ends_inside_line(const char *path) {
  file_ptr f(std::fopen(path, "rb"));
  if (!f || std::fseek(f.get(), -1, SEEK_END) != 0) return false;
  return std::fgetc(f.get()) != '\n';
}

// True when offset `at` of an mbox file is where one record ends and the
// next begins (or the file ends): "\r\n\r\n" before it, "From " or nothing
// after it.
inline bool mbox_record_boundary(const char *path, long long at) {
  if (at == 0) return true;
  if (at < 4) return false;
  file_ptr f(std::fopen(path, "rb"));
  if (!f || std::fseek(f.get(), static_cast<long>(at - 4), SEEK_SET) != 0) return false;
  char b[9] = {};
  std::size_t n = std::fread(b, 1, 9, f.get());
  if (n < 4 || b[0] != '\r' || b[1] != '\n' || b[2] != '\r' || b[3] != '\n') return false;
  return n == 4 || (n == 9 && b[4] == 'F' && b[5] == 'r' && b[6] == 'o' && b[7] == 'm' && b[8] == ' ');
}

}  // namespace kq
