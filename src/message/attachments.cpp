// Listing and saving the attachments of the fetched message. Both walks use
// part_is_attachment over leaf_walk, so row n is always the n-th part saved.
#include "message/attachments.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/error.h"
#include "base/text.h"
#include "kerquill.h"
#include "message/fetched.h"
#include "base/strcase.h"
#include "platform/platform.h"

namespace kq {

attachment_info s_att[k_att_cap];
int s_att_count = 0;

bool part_is_attachment(const mime_part &p) {
  if (p.filename[0]) return true;
  if (kq_strcasestr(p.disposition, "attachment")) return true;
  if (!p.ctype[0] || kq_strcasestr(p.ctype, "text/") || kq_strcasestr(p.ctype, "message/") ||
      kq_strcasestr(p.ctype, "multipart/"))
    return false;
  return true;
}

namespace {
const char *display_name(const mime_part &p) { return p.filename[0] ? p.filename : "attachment"; }
}  // namespace

void collect_atts(const char *data, std::uint64_t len) {
  leaf_walk(data, len, [](const mime_part &p) {
    if (!part_is_attachment(p) || s_att_count >= k_att_cap) return true;
    attachment_info &row = s_att[s_att_count++];
    copy_cut(row.name, sizeof row.name, display_name(p));
    copy_cut(row.ctype, sizeof row.ctype, p.ctype);
    row.size = static_cast<long long>(p.body_len);
    return true;
  });
}

void att_save_walk(const char *data, std::uint64_t len, att_save_state *st) {
  if (st->found || !data || len == 0) return;
  leaf_walk(data, len, [st](const mime_part &p) {
    if (!part_is_attachment(p)) return true;
    if (st->seen != st->wanted) {
      ++st->seen;
      return true;
    }
    std::uint64_t cap = 2 * p.body_len + 64;
    st->data.reset(new (std::nothrow) char[cap]);
    if (!st->data) return false;
    st->len = decode_part(p.body, p.body_len, p.cte, st->data.get(), cap);
    copy_cut(st->name, sizeof st->name, display_name(p));
    st->found = 1;
    return false;
  });
}

void safe_file_name(const char *name, char *out, std::size_t cap) {
  const char *base = name;
  for (const char *p = name; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  std::size_t n = 0;
  for (const char *p = base; *p && n + 1 < cap; ++p) {
    auto c = static_cast<unsigned char>(*p);
    out[n++] = (c < 0x20 || c == 0x7f || c == ':') ? '_' : static_cast<char>(c);
  }
  out[n] = '\0';
  if (!std::strcmp(out, "") || !std::strcmp(out, ".") || !std::strcmp(out, ".."))
    copy_cut(out, cap, "attachment");
}

namespace {

int save_impl(int index, const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return -1;
  }
  if (index < 0 || index >= s_att_count) {
    set_err("bad attachment index");
    return -1;
  }
  if (!s_fetch_buf) {
    set_err("nothing fetched");
    return -1;
  }
  att_save_state st;
  st.wanted = index;
  att_save_walk(s_fetch_buf.get(), s_fetch_len, &st);
  if (!st.found) {
    set_err("attachment %d not found", index);
    return -1;
  }
  if (st.len < 0) {
    set_err("cannot decode attachment %d", index);
    return -1;
  }
  char file[256];
  safe_file_name(st.name, file, sizeof file);
  char path[4096];
  int pn = std::snprintf(path, sizeof path, "%s/%s", dir, file);
  // A cut path could name a file outside dir.
  if (pn < 0 || static_cast<std::size_t>(pn) >= sizeof path) {
    set_err("path too long");
    return -1;
  }
  std::FILE *f = plat::file_open(path, "wb");
  if (!f) {
    set_err("cannot write %s: %s", path, plat::error_text(plat::last_errno()));
    return -1;
  }
  auto want = static_cast<std::size_t>(st.len);
  std::size_t w = want ? std::fwrite(st.data.get(), 1, want, f) : 0;
  bool closed = std::fclose(f) == 0;
  if (w != want || !closed) {
    set_err("short write %s", path);
    return -1;
  }
  set_err("%s", "");
  return 0;
}

}  // namespace

}  // namespace kq

extern "C" KQ_API int kq_attachment_count(void) { return kq::s_att_count; }

extern "C" KQ_API const char *kq_attachment_field(const char *, int index, const char *key) {
  static char out[1024];
  out[0] = '\0';
  if (index < 0 || index >= kq::s_att_count || !key) return out;
  const kq::attachment_info &row = kq::s_att[index];
  if (!std::strcmp(key, "name")) std::snprintf(out, sizeof out, "%s", row.name);
  else if (!std::strcmp(key, "size")) std::snprintf(out, sizeof out, "%lld", row.size);
  else if (!std::strcmp(key, "ctype")) std::snprintf(out, sizeof out, "%s", row.ctype);
  return out;
}

extern "C" KQ_API int kq_attachment_save(const char *, int index, const char *dir) {
  try {
    return kq::save_impl(index, dir);
  } catch (...) {
    kq::set_err("oom");
    return -1;
  }
}
