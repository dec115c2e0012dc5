// Entry points of the restore job. Its steering and reports beyond the
// status go through the export calls, which act on whichever job runs.
#include "api/guard.h"
#include "base/error.h"
#include "restore/restore_job.h"

extern "C" KQ_API int kq_restore_start(const char *config_json) {
  return kq::api::call(-1, [&] {
    if (const char *busy = kq::api::busy_job_text()) {
      kq::set_err("%s", busy);
      return -1;
    }
    if (!config_json || !*config_json) {
      kq::set_err("empty config");
      return -1;
    }
    int rc = kq::restore_start(kq::read_restore_request(config_json));
    if (rc == 0) kq::api::set_restore_current(true);
    return rc;
  });
}

extern "C" KQ_API int kq_restore_status(void) {
  return kq::api::poll_call(0, [] { return kq::restore_status(); });
}
