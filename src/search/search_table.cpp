#include "search/search_table.h"

#include <cstdio>
#include <cstring>

#include "kerquill.h"

namespace kq {

std::vector<search_hit> s_search;
int s_search_cap = k_search_cap;
int s_search_count = 0;
std::string s_search_folder;

bool search_table_alloc() {
  if (static_cast<int>(s_search.size()) < s_search_count) s_search.resize(static_cast<std::size_t>(s_search_count));
  return true;
}

}  // namespace kq

extern "C" KQ_API int kq_search_count(void) { return kq::s_search_count; }

extern "C" KQ_API const char *kq_search_field(int index, const char *key) {
  static char out[4096];
  out[0] = '\0';
  if (index < 0 || index >= kq::s_search_count || !key) return out;
  const kq::search_hit &h = kq::s_search[static_cast<std::size_t>(index)];
  if (!std::strcmp(key, "uid")) std::snprintf(out, sizeof out, "%u", h.uid);
  else if (!std::strcmp(key, "from")) std::snprintf(out, sizeof out, "%s", h.from.c_str());
  else if (!std::strcmp(key, "to")) std::snprintf(out, sizeof out, "%s", h.to.c_str());
  else if (!std::strcmp(key, "subject")) std::snprintf(out, sizeof out, "%s", h.subject.c_str());
  else if (!std::strcmp(key, "date")) std::snprintf(out, sizeof out, "%s", h.date.c_str());
  else if (!std::strcmp(key, "bytes")) std::snprintf(out, sizeof out, "%lld", h.bytes);
  else if (!std::strcmp(key, "has_attachments")) std::snprintf(out, sizeof out, "%d", h.has_attachments);
  return out;
}
