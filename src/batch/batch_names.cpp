// Folder names of a batch and the subdirectories they are exported into
// (the naming rule itself is the archive layout's).
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "archive/layout.h"
#include "base/casefold.h"
#include "batch/batch.h"

namespace kq {

void batch_copy_name(char out[k_folder_cap], const char *name, std::size_t len) {
  std::size_t n = utf8_cut(std::string_view(name, len), k_folder_cap - 1);
  std::memcpy(out, name, n);
  out[n] = '\0';
}

void batch_assign_subdirs() {
  batch_state &b = the_batch();
  for (int i = 0; i < b.folder_count; ++i)
    folder_subdir(b.subdirs[i], b.opt.dir.c_str(), b.folders[i], [&](const char *name) {
      for (int j = 0; j < i; ++j)
        if (fold_case(b.subdirs[j]) == fold_case(name)) return true;
      return false;
    });
}

}  // namespace kq
