#include "export/resume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <yyjson.h>

#include "archive/resume_file.h"
#include "base/text.h"
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
  if (!job->resume) return;
  // The archive's reader of the file: the same rules, and never through a
  // link out of the directory.
  resume_data data;
  try {
    if (resume_load(job->dir, data) != resume_load_result::loaded) return;
  } catch (const std::bad_alloc &) {
    return;  // no memory: start as if nothing were stored
  }
  if (data.has_folder && data.folder != job->folder) return;
  job->last_uid = data.last_uid;
  job->completed = std::move(data.completed);
  job->mbox_bytes = data.mbox_bytes;
}

void resume_write(export_job *job) {
  if (!job->resume) return;
  std::string path = resume_path(job);
  std::string tmp = path + ".tmp";
  std::FILE *f = plat::file_open(tmp.c_str(), "wb");
  if (!f) return;
  bool ok = true;
  try {
    std::string out;
    out.reserve(1 << 16);
    char num[96];
    out += "{\"folder\":";
    json_append_str_utf8(out, job->folder);
    std::snprintf(num, sizeof num, ",\"last_uid\":%u,\"done\":%lld,\"total\":%lld,\"completed\":[",
                  static_cast<unsigned>(job->last_uid), static_cast<long long>(job->done.load()),
                  static_cast<long long>(job->total.load()));
    out += num;
    std::size_t n = std::min(job->completed.size(), k_resume_max_uids);
    for (std::size_t i = 0; i < n && ok; ++i) {
      std::snprintf(num, sizeof num, "%s%u", i ? "," : "", job->completed[i]);
      out += num;
      if (out.size() >= (1 << 16) - 16) {
        ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
        out.clear();
      }
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
    ok = ok && std::fwrite(out.data(), 1, out.size(), f) == out.size();
  } catch (const std::bad_alloc &) {
    ok = false;
  }
  ok = std::fflush(f) == 0 && ok;
  ok = std::fclose(f) == 0 && ok;
  // A half-written file must never replace a good one.
  if (!ok || !plat::file_replace(tmp.c_str(), path.c_str())) std::remove(tmp.c_str());
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
