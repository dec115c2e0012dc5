#include "export/resume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <yyjson.h>

#include "archive/resume_file.h"
#include "base/text.h"
#include "export/durable.h"
#include "platform/platform.h"

namespace kq {

namespace {

std::string resume_path(const export_job *job) { return std::string(job->dir) + "/resume.json"; }

}  // namespace

void resume_read() {
  export_job *job = &s_job;
  job->last_uid = 0;
  job->mbox_bytes = -1;
  job->completed.clear();
  job->archived_uidvalidity = 0;
  job->base_uidvalidity = 0;
  // The archive's reader of the file: the same rules, and never through a
  // link out of the directory.
  resume_data data;
  try {
    if (resume_load(job->dir, data) != resume_load_result::loaded) return;
  } catch (const std::bad_alloc &) {
    return;  // no memory: start as if nothing were stored
  }
  if (data.has_folder && data.folder != job->folder) return;
  // Which names the stored messages carry matters without resume too: a
  // job that does not skip must still not write over another generation.
  job->archived_uidvalidity = data.uidvalidity;
  job->base_uidvalidity = resume_base_generation(data);
  if (!job->resume) return;
  job->last_uid = data.last_uid;
  job->completed = std::move(data.completed);
  job->mbox_bytes = data.mbox_bytes;
}

bool resume_write(export_job *job) {
  if (!job->resume) return true;
  // Everything the file is about to name reaches the disk first.
  if (!sync_stored(job)) return false;
  std::string out;
  try {
    std::size_t n = std::min(job->completed.size(), k_resume_max_uids);
    out.reserve(256 + std::strlen(job->folder) * 6 + n * 11);
    char num[160];
    out += "{\"folder\":";
    json_append_str_utf8(out, job->folder);
    if (job->archived_uidvalidity) {
      std::snprintf(num, sizeof num, ",\"uidvalidity\":%llu,\"base_uidvalidity\":%llu",
                    static_cast<unsigned long long>(job->archived_uidvalidity),
                    static_cast<unsigned long long>(job->base_uidvalidity));
      out += num;
    }
    std::snprintf(num, sizeof num, ",\"last_uid\":%u,\"done\":%lld,\"total\":%lld,\"completed\":[",
                  static_cast<unsigned>(job->last_uid), static_cast<long long>(job->done.load()),
                  static_cast<long long>(job->total.load()));
    out += num;
    for (std::size_t i = 0; i < n; ++i) {
      std::snprintf(num, sizeof num, "%s%u", i ? "," : "", job->completed[i]);
      out += num;
    }
    out += "]";
    // The length of all.mbox that holds exactly the listed messages; a job
    // that does not write all.mbox passes the loaded length on.
    long long mb = job->mbox_file.is_open() ? job->mbox_file.size() : job->mbox_bytes;
    if (mb >= 0) {
      std::snprintf(num, sizeof num, ",\"mbox_bytes\":%lld", mb);
      out += num;
    }
    out += "}";
  } catch (const std::bad_alloc &) {
    return false;
  }
  // Through a synced temporary file and a rename, the directory synced
  // after it: a half-written file never replaces a good one.
  return plat::write_file_atomic(resume_path(job).c_str(), out, durable_writes());
}

int resume_has(const export_job *job, unsigned uid) {
  const std::vector<std::uint32_t> &c = job->completed;
  std::size_t lo = 0, hi = c.size();
  while (lo < hi) {
    std::size_t mid = (lo + hi) / 2;
    if (c[mid] < uid) lo = mid + 1;
    else hi = mid;
  }
  return lo < c.size() && c[lo] == uid ? 1 : 0;
}

bool completed_reserve(export_job *job) {
  std::vector<std::uint32_t> &c = job->completed;
  if (c.size() < c.capacity()) return true;
  try {
    c.reserve(c.capacity() ? c.capacity() * 2 : 4096);
  } catch (const std::exception &) {
    return false;
  }
  return true;
}

void completed_insert(export_job *job, std::uint32_t uid) {
  std::vector<std::uint32_t> &c = job->completed;
  // Rows come in ascending order, so this is nearly always the end.
  if (c.empty() || c.back() < uid) {
    c.push_back(uid);
    return;
  }
  auto at = std::lower_bound(c.begin(), c.end(), uid);
  if (at == c.end() || *at != uid) c.insert(at, uid);
}

}  // namespace kq
