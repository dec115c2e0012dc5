// Listing and saving the attachments of the fetched message. Both walks use
// part_is_attachment over leaf_walk, so row n is always the n-th part saved.
#include "message/attachments.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "base/attachment_rule.h"
#include "base/error.h"
#include "base/text.h"
#include "message/fetched.h"
#include "base/strcase.h"
#include "platform/platform.h"

namespace kq {

bool part_is_attachment(const mime_part &p) {
  return counts_as_attachment(p.ctype, p.disposition, p.filename[0] != '\0');
}

namespace {
// The table's texts are cut where callers have always found them cut.
constexpr std::size_t k_att_text_cap = 511;
}  // namespace

std::vector<attachment_info> list_attachments(const char *data, std::uint64_t len) {
  std::vector<attachment_info> rows;
  leaf_walk(data, len, [&rows](const mime_part &p) {
    if (!part_is_attachment(p) || rows.size() >= k_att_cap) return true;
    attachment_info row;
    row.name = attachment_name(p, static_cast<int>(rows.size())).substr(0, k_att_text_cap);
    row.ctype = std::string(p.ctype).substr(0, k_att_text_cap);
    row.size = static_cast<long long>(p.body_len);
    rows.push_back(std::move(row));
    return true;
  });
  return rows;
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
    copy_cut(st->name, sizeof st->name, attachment_name(p, st->wanted));
    st->found = 1;
    return false;
  });
}

namespace {

constexpr int k_max_tries = 10000;
constexpr std::size_t k_path_max = 4096;

int save_into(int index, const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return -1;
  }
  const fetched_message *m = fetched_now();
  if (index < 0 || !m || static_cast<std::size_t>(index) >= m->atts.size()) {
    set_err("bad attachment index");
    return -1;
  }
  att_save_state st;
  st.wanted = index;
  att_save_walk(m->raw.data(), m->raw.size(), &st);
  if (!st.found) {
    set_err("attachment %d not found", index);
    return -1;
  }
  if (st.len < 0) {
    set_err("cannot decode attachment %d", index);
    return -1;
  }
  std::string file = safe_file_name(st.name);
  std::string_view data(st.data.get(), static_cast<std::size_t>(st.len));
  // Never replace a file nor write through a link already in dir: each
  // name is tried with exclusive creation, numbered on until one is free.
  for (int k = 1;; ++k) {
    if (k > k_max_tries) {
      set_err("no free file name for %s in %s", file.c_str(), dir);
      return -1;
    }
    std::string path = std::string(dir) + "/" + numbered_file_name(file, k);
    if (path.size() >= k_path_max) {
      set_err("path too long");
      return -1;
    }
    bool exists = false;
    if (plat::create_new_file(path.c_str(), data, &exists)) {
      message_state::instance().set_saved_path(std::move(path));
      break;
    }
    if (!exists) {
      set_err("cannot write %s: %s", path.c_str(), plat::error_text(plat::last_errno()));
      return -1;
    }
  }
  set_err("%s", "");
  return 0;
}

}  // namespace

int attachment_save(int index, const char *dir) {
  // A failed save must not leave the path of an earlier one to be taken
  // for its own.
  message_state::instance().forget_saved_path();
  return save_into(index, dir);
}

const char *attachment_saved_path() { return message_state::instance().saved_path().c_str(); }

int attachment_count() {
  const fetched_message *m = fetched_now();
  return m ? static_cast<int>(m->atts.size()) : 0;
}

const char *attachment_field(int index, const char *key) {
  static char out[1024];
  out[0] = '\0';
  const fetched_message *m = fetched_now();
  if (index < 0 || !m || static_cast<std::size_t>(index) >= m->atts.size() || !key) return out;
  const attachment_info &row = m->atts[static_cast<std::size_t>(index)];
  if (!std::strcmp(key, "name")) std::snprintf(out, sizeof out, "%s", row.name.c_str());
  else if (!std::strcmp(key, "size")) std::snprintf(out, sizeof out, "%lld", row.size);
  else if (!std::strcmp(key, "ctype")) std::snprintf(out, sizeof out, "%s", row.ctype.c_str());
  return out;
}

}  // namespace kq
