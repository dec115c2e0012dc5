#include "search/search_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kq {

search_state &search_state::instance() {
  static search_state state;
  return state;
}

search_result_ptr search_state::result() {
  plat::lock_guard hold(result_lock_);
  if (!result_) result_ = std::make_shared<const search_result>(std::string());
  return result_;
}

search_result_ptr search_state::swap_result(search_result_ptr r) {
  plat::lock_guard hold(result_lock_);
  std::swap(result_, r);
  return r;
}

search_hit row_draft::view() const {
  search_hit h;
  h.uid = uid;
  h.has_attachments = has_attachments;
  h.bytes = bytes;
  h.ts = ts;
  h.date = date.c_str();
  h.from = from.c_str();
  h.to = to.c_str();
  h.subject = subject.c_str();
  return h;
}

void search_result::add(const search_hit &h) {
  search_hit row = h;
  row.date = texts_.keep(h.date);
  row.from = texts_.keep(h.from);
  row.to = texts_.keep(h.to);
  row.subject = texts_.keep(h.subject);
  rows_.push_back(row);
}

void search_result::settle(std::size_t cap) {
  std::sort(rows_.begin(), rows_.end(), [](const search_hit &x, const search_hit &y) { return x.uid < y.uid; });
  rows_.erase(std::unique(rows_.begin(), rows_.end(),
                          [](const search_hit &x, const search_hit &y) { return x.uid == y.uid; }),
              rows_.end());
  if (rows_.size() > cap) rows_.resize(cap);
  // Growth by doubling may leave up to half the table unused.
  if (rows_.capacity() > rows_.size() + rows_.size() / 4) rows_.shrink_to_fit();
}

search_result_ptr current_result() { return search_state::instance().result(); }

void install_result(search_result_ptr r) {
  if (!r) r = std::make_shared<const search_result>(std::string());
  search_result_ptr old = search_state::instance().swap_result(std::move(r));
  // The result before is freed here, outside the lock, unless a job holds it.
}

void clear_result(std::string folder) { install_result(std::make_shared<const search_result>(std::move(folder))); }

int search_count() { return static_cast<int>(current_result()->size()); }

const char *search_field(int index, const char *key) {
  static char out[4096];
  out[0] = '\0';
  search_result_ptr r = current_result();
  if (index < 0 || static_cast<std::size_t>(index) >= r->size() || !key) return out;
  const search_hit &h = (*r)[static_cast<std::size_t>(index)];
  if (!std::strcmp(key, "uid")) std::snprintf(out, sizeof out, "%u", h.uid);
  else if (!std::strcmp(key, "from")) std::snprintf(out, sizeof out, "%s", h.from);
  else if (!std::strcmp(key, "to")) std::snprintf(out, sizeof out, "%s", h.to);
  else if (!std::strcmp(key, "subject")) std::snprintf(out, sizeof out, "%s", h.subject);
  else if (!std::strcmp(key, "date")) std::snprintf(out, sizeof out, "%s", h.date);
  else if (!std::strcmp(key, "bytes")) std::snprintf(out, sizeof out, "%lld", h.bytes);
  else if (!std::strcmp(key, "has_attachments")) std::snprintf(out, sizeof out, "%d", h.has_attachments);
  return out;
}

}  // namespace kq
