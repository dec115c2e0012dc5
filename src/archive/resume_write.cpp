// Writing resume.json; the reading half is resume_file.cpp.
#include <algorithm>
#include <cstddef>
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

namespace {

// The numbers the reader takes back, by its own rules: a UIDVALIDITY of
// at most 32 bits, a mod-sequence below 2^63, an all.mbox length up to 2^62;
// the UIDVALIDITYs and the mod-sequence are written only with a UIDVALIDITY.
resume_data scalars_as_read(const resume_record &r) {
  resume_data d;
  d.has_folder = true;
  d.folder.assign(r.folder);
  auto uidvalidity = [](std::uint64_t v) { return v <= 4294967295ULL ? v : 0; };
  if (r.uidvalidity) {
    d.uidvalidity = uidvalidity(r.uidvalidity);
    d.base_uidvalidity = uidvalidity(r.base_uidvalidity);
    if (r.highestmodseq < (1ULL << 63)) d.highestmodseq = r.highestmodseq;
  }
  d.last_uid = r.last_uid;
  if (r.mbox_bytes >= 0 && r.mbox_bytes <= (1LL << 62)) d.mbox_bytes = r.mbox_bytes;
  return d;
}

// The part of the completed list the file holds.
std::size_t written_uids(const resume_record &r) {
  return r.completed ? std::min(r.completed->size(), k_resume_max_uids) : 0;
}

}  // namespace

resume_data resume_as_read(const resume_record &r) {
  resume_data d = scalars_as_read(r);
  std::size_t n = written_uids(r);
  if (n) d.completed.assign(r.completed->begin(), r.completed->begin() + static_cast<std::ptrdiff_t>(n));
  return d;
}

bool resume_reads_as(const resume_record &r, const resume_data &d) {
  resume_data s = scalars_as_read(r);
  // A folder name that is not UTF-8 is written escaped and reads back
  // otherwise: it then differs, and the file is written as before.
  if (s.has_folder != d.has_folder || s.folder != d.folder || s.uidvalidity != d.uidvalidity ||
      s.base_uidvalidity != d.base_uidvalidity || s.last_uid != d.last_uid ||
      s.mbox_bytes != d.mbox_bytes || s.highestmodseq != d.highestmodseq)
    return false;
  std::size_t n = written_uids(r);
  return n == d.completed.size() &&
         (n == 0 || std::equal(d.completed.begin(), d.completed.end(), r.completed->begin()));
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
