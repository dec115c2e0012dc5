#include "archive/resume_file.h"

#include <algorithm>
#include <new>

#include <yyjson.h>

#include "base/text.h"

namespace kq {

std::uint32_t resume_uid_value(const void *value) {
  auto *v = static_cast<yyjson_val *>(const_cast<void *>(value));
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

bool resume_parse(std::string_view text, resume_data &out) {
  out = resume_data{};
  json_doc doc;
  if (!doc.parse(text) || !yyjson_is_obj(doc.root())) return false;
  yyjson_val *root = doc.root();
  yyjson_val *folder = json_key(root, "folder");
  if (folder && yyjson_is_str(folder)) {
    out.has_folder = true;
    out.folder.assign(yyjson_get_str(folder), yyjson_get_len(folder));
  }
  auto uidvalidity = [&](const char *key) -> std::uint64_t {
    yyjson_val *v = json_key(root, key);
    return v && yyjson_is_uint(v) && yyjson_get_uint(v) <= 4294967295ULL ? yyjson_get_uint(v) : 0;
  };
  out.uidvalidity = uidvalidity("uidvalidity");
  out.base_uidvalidity = uidvalidity("base_uidvalidity");
  if (yyjson_val *v = json_key(root, "last_uid")) out.last_uid = resume_uid_value(v);
  // Only a plain non-negative integer can say where all.mbox may be cut.
  yyjson_val *mb = json_key(root, "mbox_bytes");
  if (mb && yyjson_is_uint(mb) && yyjson_get_uint(mb) <= (1ULL << 62))
    out.mbox_bytes = static_cast<long long>(yyjson_get_uint(mb));
  // A mod-sequence is a positive 63-bit number (RFC 7162).
  yyjson_val *ms = json_key(root, "highestmodseq");
  if (ms && yyjson_is_uint(ms) && yyjson_get_uint(ms) < (1ULL << 63)) out.highestmodseq = yyjson_get_uint(ms);
  yyjson_val *list = json_key(root, "completed");
  if (!list || !yyjson_is_arr(list)) return true;
  out.completed.reserve(yyjson_arr_size(list));
  std::size_t i, n;
  yyjson_val *v;
  yyjson_arr_foreach(list, i, n, v) out.completed.push_back(resume_uid_value(v));
  // Older files may be in any order; lookups bisect.
  std::sort(out.completed.begin(), out.completed.end());
  out.completed.erase(std::unique(out.completed.begin(), out.completed.end()), out.completed.end());
  return true;
}

resume_load_result resume_load(const char *dir, resume_data &out) {
  out = resume_data{};
  plat::contained_file f;
  plat::contained_file::status st = f.open(dir, k_resume_name);
  if (st == plat::contained_file::absent) return resume_load_result::absent;
  if (st != plat::contained_file::ok) return resume_load_result::unreadable;
  long long size = f.size();
  if (size < 1 || size > k_resume_file_max) return resume_load_result::unreadable;
  try {
    std::string text(static_cast<std::size_t>(size), '\0');
    std::size_t got = 0;
    while (got < text.size()) {
      long long n = f.read(text.data() + got, text.size() - got);
      if (n <= 0) return resume_load_result::unreadable;
      got += static_cast<std::size_t>(n);
    }
    return resume_parse(text, out) ? resume_load_result::loaded : resume_load_result::unreadable;
  } catch (const std::bad_alloc &) {
    out = resume_data{};
    return resume_load_result::unreadable;
  }
}

}  // namespace kq
