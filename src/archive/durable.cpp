#include "export/durable.h"

#include <algorithm>
#include <atomic>

#include "platform/platform.h"

namespace kq {

namespace {
std::atomic<bool> g_durable{true};
}  // namespace

void set_durable_writes(bool on) { g_durable = on; }
bool durable_writes() { return g_durable; }

void note_unsynced(export_job *job, const std::string &file, const std::string &parent) {
  if (!g_durable) return;
  job->unsynced_files.push_back(file);
  // Consecutive messages mostly share their directory.
  if (job->unsynced_dirs.empty() || job->unsynced_dirs.back() != parent)
    job->unsynced_dirs.push_back(parent);
}

bool sync_stored(export_job *job) {
  if (!g_durable) return true;
  std::vector<std::string> &dirs = job->unsynced_dirs;
  std::sort(dirs.begin(), dirs.end());
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
  // The archive directory holds the manifest's and all.mbox's entries and
  // the dated layout's month directories.
  if (!std::binary_search(dirs.begin(), dirs.end(), std::string(job->dir))) {
    dirs.push_back(job->dir);
    std::sort(dirs.begin(), dirs.end());
  }
  // The manifest and all.mbox with the message files, as one group.
  bool ok = true;
  if (job->mbox_file.is_open()) ok = job->mbox_file.sync();
  if (job->manifest_file.is_open()) ok = job->manifest_file.sync() && ok;
  ok = plat::sync_group(job->unsynced_files, dirs) && ok;
  if (ok) {
    job->unsynced_files.clear();
    dirs.clear();
  }
  return ok;
}

}  // namespace kq
