// Entry points of the search and its result.
#include "api/guard.h"
#include "search/search.h"

extern "C" KQ_API int kq_search(const char *folder, const char *criteria_json) {
  return kq::api::server_call("kq_search", -1, [&] { return kq::search_folder(folder, criteria_json); });
}

// Both are called from another thread while kq_search runs: no host lock.
extern "C" KQ_API double kq_search_progress(void) {
  return kq::api::poll_call(0.0, [] { return kq::search_progress(); });
}

extern "C" KQ_API int kq_search_cancel(void) {
  return kq::api::poll_call(-1, [] { return kq::search_cancel(); });
}

extern "C" KQ_API int kq_search_count(void) {
  return kq::api::call(0, [] { return kq::search_count(); });
}

extern "C" KQ_API const char *kq_search_field(int index, const char *key) {
  return kq::api::call("", [&] {
    return kq::api::thread_text<&kq_search_field>(kq::search_field(index, key));
  });
}
