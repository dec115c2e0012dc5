// Entry points over archives on disk; no server involved.
#include "api/guard.h"
#include "archive/verify.h"

extern "C" KQ_API int kq_verify_dir(const char *dir) {
  return kq::api::call(-1, [&] { return kq::verify_dir(dir); });
}

extern "C" KQ_API const char *kq_verify_report_json(void) {
  return kq::api::call("", [] {
    return kq::api::thread_text<&kq_verify_report_json>(kq::verify_report_json());
  });
}

extern "C" KQ_API const char *kq_archive_stats_json(const char *dir) {
  return kq::api::call("", [&] {
    return kq::api::thread_text<&kq_archive_stats_json>(kq::archive_stats(dir));
  });
}
