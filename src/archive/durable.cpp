#include "archive/durable.h"

#include <algorithm>
#include <atomic>

#include "platform/platform.h"

namespace kq {

namespace {
std::atomic<bool> g_durable{true};
}  // namespace

void set_durable_writes(bool on) { g_durable = on; }
bool durable_writes() { return g_durable; }

void note_unsynced(unsynced_writes &w, const std::string &file, const std::string &parent) {
  if (!g_durable) return;
  w.files.push_back(file);
  // Consecutive messages mostly share their directory.
  if (w.dirs.empty() || w.dirs.back() != parent) w.dirs.push_back(parent);
}

bool sync_stored(unsynced_writes &w, const char *dir, plat::append_file &mbox,
                 plat::append_file &manifest) {
  if (!g_durable) return true;
  std::vector<std::string> &dirs = w.dirs;
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
  // The archive directory holds the manifest's and all.mbox's entries and
  // the dated layout's month directories.
  if (!std::binary_search(dirs.begin(), dirs.end(), std::string(dir))) {
    dirs.push_back(dir);
    std::sort(dirs.begin(), dirs.end());
  }
  // The manifest and all.mbox with the message files, as one group.
  bool ok = true;
  if (mbox.is_open()) ok = mbox.sync();
  if (manifest.is_open()) ok = manifest.sync() && ok;
  ok = plat::sync_group(w.files, dirs) && ok;
  if (ok) w.clear();
  return ok;
}

}  // namespace kq
