// Folder names of a batch and the subdirectories they are exported into.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/casefold.h"
#include "base/mutf7.h"
#include "base/utf8.h"
#include "base/windows_names.h"
#include "export/batch.h"
#include "platform/platform.h"

namespace kq {

namespace {

// Largest cut of s at most n bytes long that does not split a UTF-8 sequence.
std::size_t utf8_cut(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s.size();
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

bool subdir_taken(const char *name, int before) {
  for (int j = 0; j < before; ++j)
    if (fold_case(s_batch.subdirs[j]) == fold_case(name)) return true;
  return false;
}

}  // namespace

void batch_copy_name(char out[k_folder_cap], const char *name, std::size_t len) {
  std::size_t n = utf8_cut(std::string_view(name, len), k_folder_cap - 1);
  std::memcpy(out, name, n);
  out[n] = '\0';
}

void sanitize_folder(char out[k_subdir_cap], const char *name) {
  sanitize_folder_as(out, name, plat::windows_file_names());
}

void sanitize_folder_as(char out[k_subdir_cap], const char *name, bool windows) {
  // The directory name goes into JSON texts (the job's configuration, the
  // status), so it is kept valid UTF-8: a byte that is no part of a
  // character becomes '_', and the cut never splits a character.
  std::string_view in(name);
  std::size_t n = 0, i = 0;
  while (i < in.size()) {
    std::size_t len = utf8_seq(in, i);
    if (len == 0) len = 1;
    if (n + len > k_subdir_cap - 1) break;
    if (len == 1) {
      char c = in[i];
      bool bad = static_cast<unsigned char>(c) >= 0x80 || c == '"' || c == '/' || c == '\\';
      out[n] = bad ? '_' : c;
    } else {
      std::memcpy(out + n, in.data() + i, len);
    }
    n += len;
    i += len;
  }
  out[n] = '\0';
  if (n == 0 || std::strcmp(out, ".") == 0 || std::strcmp(out, "..") == 0) {
    std::memmove(out + 1, out, n + 1);
    out[0] = '_';
  }
  if (!windows) return;
  // On Windows ".." has become "_..", which Windows would strip to "_";
  // the rule turns it into "_._". Growing a long name by the '_' of a
  // device name may need a cut, which may leave a final dot or space: the
  // second pass mends that without growing (the name now starts with '_',
  // so it is no device any more).
  std::string w = windows_file_name(out);
  if (w.size() > k_subdir_cap - 1)
    w = windows_file_name(std::string_view(w).substr(0, utf8_cut(w, k_subdir_cap - 1)));
  std::memcpy(out, w.c_str(), w.size() + 1);
}

void batch_assign_subdirs() {
  for (int i = 0; i < s_batch.folder_count; ++i) {
    // Named after what a person reads ("Entwürfe", not "Entw&APw-rfe"),
    // unless an earlier run already made the directory under the raw name:
    // resuming into it must find the archive it started.
    char raw[k_subdir_cap], base[k_subdir_cap];
    sanitize_folder(raw, s_batch.folders[i]);
    std::string display = folder_display_name(s_batch.folders[i]);
    char shown[k_folder_cap];
    batch_copy_name(shown, display.data(), display.size());
    sanitize_folder(base, shown);
    if (std::strcmp(raw, base) != 0 && s_batch.dir[0] &&
        plat::path_exists((std::string(s_batch.dir) + "/" + raw).c_str()))
      std::memcpy(base, raw, sizeof base);
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
