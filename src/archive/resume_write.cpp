// Writing resume.json; the reading half is resume_file.cpp.
#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "archive/resume_file.h"
#include "base/text.h"
#include "platform/platform.h"

namespace kq {

std::string resume_format(const resume_record &r) {
  static const std::vector<std::uint32_t> k_none;
  const std::vector<std::uint32_t> &completed = r.completed ? *r.completed : k_none;
  std::string out;
  std::size_t n = std::min(completed.size(), k_resume_max_uids);
  out.reserve(256 + r.folder.size() * 6 + n * 11);
  char num[160];
  out += "{\"folder\":";
  json_append_str_utf8(out, r.folder);
  if (r.uidvalidity) {
    std::snprintf(num, sizeof num, ",\"uidvalidity\":%llu,\"base_uidvalidity\":%llu",
                  static_cast<unsigned long long>(r.uidvalidity),
                  static_cast<unsigned long long>(r.base_uidvalidity));
    out += num;
    // Mod-sequences belong to one generation of the folder.
    if (r.highestmodseq) {
      std::snprintf(num, sizeof num, ",\"highestmodseq\":%llu",
                    static_cast<unsigned long long>(r.highestmodseq));
      out += num;
    }
  }
  std::snprintf(num, sizeof num, ",\"last_uid\":%u,\"done\":%lld,\"total\":%lld,\"completed\":[",
                r.last_uid, r.done, r.total);
  out += num;
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(num, sizeof num, "%s%u", i ? "," : "", completed[i]);
    out += num;
  }
  out += "]";
  if (r.mbox_bytes >= 0) {
    std::snprintf(num, sizeof num, ",\"mbox_bytes\":%lld", r.mbox_bytes);
    out += num;
  }
  out += "}";
  return out;
}

bool resume_save(const char *dir, const resume_record &r, bool durable) {
  std::string out;
  try {
    out = resume_format(r);
  } catch (const std::bad_alloc &) {
    return false;
  }
  // Through a synced temporary file and a rename, the directory synced
  // after it: a half-written file never replaces a good one.
  std::string path = std::string(dir) + "/" + k_resume_name;
  return plat::write_file_atomic(path.c_str(), out, durable);
}

}  // namespace kq
