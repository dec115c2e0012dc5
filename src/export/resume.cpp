#include "export/resume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include <yyjson.h>

#include "base/text.h"
#include "platform/platform.h"

namespace kq {

namespace {

std::string resume_path(const export_job *job) { return std::string(job->dir) + "/resume.json"; }

// A JSON number as the low 32 bits of its truncated value; others give 0.
std::uint32_t uid_value(yyjson_val *v) {
  if (!v || !yyjson_is_num(v)) return 0;
  long long n;
  if (yyjson_is_int(v))
    n = yyjson_is_uint(v) ? static_cast<long long>(yyjson_get_uint(v)) : yyjson_get_sint(v);
  else {
    double d = yyjson_get_real(v);
    n = (d == d && d < 9.2e18 && d > -9.2e18) ? static_cast<long long>(d) : 0;
  }
  return static_cast<std::uint32_t>(n);
}

bool read_file(const std::string &path, std::string &out) {
  std::FILE *f = plat::file_open(path.c_str(), "rb");
  if (!f) return false;
  bool ok = std::fseek(f, 0, SEEK_END) == 0;
  long size = ok ? std::ftell(f) : -1;
  ok = ok && size >= 1 && size <= k_resume_max_file && std::fseek(f, 0, SEEK_SET) == 0;
  if (ok) {
    try {
      out.resize(static_cast<std::size_t>(size));
      ok = std::fread(out.data(), 1, out.size(), f) == out.size();
    } catch (const std::bad_alloc &) {
      ok = false;
    }
  }
  std::fclose(f);
  return ok;
}

}  // namespace

void resume_read() {
  export_job *job = &s_job;
  job->last_uid = 0;
  job->mbox_bytes = -1;
  job->completed.clear();
  if (!job->resume) return;
  std::string text;
  if (!read_file(resume_path(job), text)) return;
  json_doc doc;
  if (!doc.parse(text) || !yyjson_is_obj(doc.root())) return;
  yyjson_val *root = doc.root();
  yyjson_val *folder = json_key(root, "folder");
  if (folder && yyjson_is_str(folder) && std::strcmp(yyjson_get_str(folder), job->folder) != 0)
    return;
  if (yyjson_val *v = json_key(root, "last_uid")) job->last_uid = uid_value(v);
  yyjson_val *list = json_key(root, "completed");
  if (!list || !yyjson_is_arr(list)) return;
  try {
    job->completed.reserve(yyjson_arr_size(list));
    std::size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) job->completed.push_back(uid_value(v));
  } catch (const std::bad_alloc &) {
    job->completed.clear();  // no memory: start as if nothing were stored
    return;
  }
  // Older files may be in any order; bisection needs ascending UIDs.
  std::sort(job->completed.begin(), job->completed.end());
  job->completed.erase(std::unique(job->completed.begin(), job->completed.end()),
                       job->completed.end());
  // Only a plain non-negative integer can say where all.mbox may be cut.
  yyjson_val *mb = json_key(root, "mbox_bytes");
  if (mb && yyjson_is_uint(mb) && yyjson_get_uint(mb) <= static_cast<std::uint64_t>(k_resume_max_mbox))
    job->mbox_bytes = static_cast<long long>(yyjson_get_uint(mb));
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
