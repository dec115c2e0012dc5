// Folder names of a batch and the subdirectories they are exported into.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "export/batch.h"

namespace kq {

namespace {

// Largest cut of s at most n bytes long that does not split a UTF-8 sequence.
std::size_t utf8_cut(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s.size();
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

bool same_ascii_nocase(const char *a, const char *b) {
  for (; *a && *b; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
    if (x != y) return false;
  }
  return *a == *b;
}

bool subdir_taken(const char *name, int before) {
  for (int j = 0; j < before; ++j)
    if (same_ascii_nocase(s_batch.subdirs[j], name)) return true;
  return false;
}

}  // namespace

void batch_copy_name(char out[k_folder_cap], const char *name, std::size_t len) {
  std::size_t n = utf8_cut(std::string_view(name, len), k_folder_cap - 1);
  std::memcpy(out, name, n);
  out[n] = '\0';
}

void sanitize_folder(char out[k_subdir_cap], const char *name) {
  std::size_t n = 0;
  for (; name[n] && n < k_subdir_cap - 1; ++n) {
    char c = name[n];
    out[n] = (c == '"' || c == '/' || c == '\\') ? '_' : c;
  }
  out[n] = '\0';
  if (n == 0 || std::strcmp(out, ".") == 0 || std::strcmp(out, "..") == 0) {
    std::memmove(out + 1, out, n + 1);
    out[0] = '_';
  }
}

void batch_assign_subdirs() {
  for (int i = 0; i < s_batch.folder_count; ++i) {
    char base[k_subdir_cap];
    sanitize_folder(base, s_batch.folders[i]);
    char *out = s_batch.subdirs[i];
    std::snprintf(out, k_subdir_cap, "%s", base);
    for (int k = 2; subdir_taken(out, i); ++k) {
      char suffix[16];
      int sl = std::snprintf(suffix, sizeof suffix, "~%d", k);
      std::size_t keep = utf8_cut(base, k_subdir_cap - 1 - static_cast<std::size_t>(sl));
      std::snprintf(out, k_subdir_cap, "%.*s%s", static_cast<int>(keep), base, suffix);
    }
  }
}

}  // namespace kq
