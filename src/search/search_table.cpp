#include "search/search_table.h"

#include <cstdio>
#include <cstring>


namespace kq {

std::vector<search_hit> s_search;
int s_search_cap = k_search_cap;
int s_search_count = 0;
std::string s_search_folder;

bool search_table_alloc() {
  if (static_cast<int>(s_search.size()) < s_search_count) s_search.resize(static_cast<std::size_t>(s_search_count));
  return true;
}

int search_count() { return s_search_count; }

const char *search_field(int index, const char *key) {
  static char out[4096];
  out[0] = '\0';
  if (index < 0 || index >= s_search_count || !key) return out;
  const search_hit &h = s_search[static_cast<std::size_t>(index)];
  if (!std::strcmp(key, "uid")) std::snprintf(out, sizeof out, "%u", h.uid);
  else if (!std::strcmp(key, "from")) std::snprintf(out, sizeof out, "%s", h.from.c_str());
  else if (!std::strcmp(key, "to")) std::snprintf(out, sizeof out, "%s", h.to.c_str());
  else if (!std::strcmp(key, "subject")) std::snprintf(out, sizeof out, "%s", h.subject.c_str());
  else if (!std::strcmp(key, "date")) std::snprintf(out, sizeof out, "%s", h.date.c_str());
  else if (!std::strcmp(key, "bytes")) std::snprintf(out, sizeof out, "%lld", h.bytes);
  else if (!std::strcmp(key, "has_attachments")) std::snprintf(out, sizeof out, "%d", h.has_attachments);
  return out;
}

}  // namespace kq
