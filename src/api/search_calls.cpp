// Entry points of the search and its result.
#include "api/guard.h"
#include "search/search.h"

extern "C" KQ_API int kq_search(const char *folder, const char *criteria_json) {
  return kq::api::server_call("kq_search", -1, [&] { return kq::search_folder(folder, criteria_json); });
}

extern "C" KQ_API int kq_search_count(void) {
  return kq::api::call(0, [] { return kq::search_count(); });
}

extern "C" KQ_API const char *kq_search_field(int index, const char *key) {
  return kq::api::call("", [&] { return kq::search_field(index, key); });
}
