#include "search/search_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kerquill.h"

namespace kq {

search_hit *s_search = nullptr;
int s_search_cap = 0;
int s_search_count = 0;
char s_search_folder[128] = "";

bool search_table_alloc() {
  if (s_search) return true;
  // calloc leaves untouched rows as zero pages, so only used rows cost memory.
  s_search = static_cast<search_hit *>(std::calloc(k_search_cap, sizeof(search_hit)));
  if (!s_search) return false;
  s_search_cap = k_search_cap;
  return true;
}

}  // namespace kq

extern "C" KQ_API int kq_search_count(void) { return kq::s_search_count; }

extern "C" KQ_API const char *kq_search_field(int index, const char *key) {
  static char out[4096];
  out[0] = '\0';
  if (index < 0 || index >= kq::s_search_count || !key) return out;
  const kq::search_hit &h = kq::s_search[index];
  if (!std::strcmp(key, "uid")) std::snprintf(out, sizeof out, "%u", h.uid);
  else if (!std::strcmp(key, "from")) std::snprintf(out, sizeof out, "%s", h.from);
  else if (!std::strcmp(key, "to")) std::snprintf(out, sizeof out, "%s", h.to);
  else if (!std::strcmp(key, "subject")) std::snprintf(out, sizeof out, "%s", h.subject);
  else if (!std::strcmp(key, "date")) std::snprintf(out, sizeof out, "%s", h.date);
  else if (!std::strcmp(key, "bytes")) std::snprintf(out, sizeof out, "%lld", h.bytes);
  else if (!std::strcmp(key, "has_attachments")) std::snprintf(out, sizeof out, "%d", h.has_attachments);
  return out;
}
