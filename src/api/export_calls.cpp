// Entry points of the export job and the batch export. The polls and the
// steering calls take no host lock: a host calls them from its UI thread
// while another of its threads may be inside a long call.
#include "api/guard.h"
#include "base/error.h"
#include "batch/batch.h"
#include "export/worker.h"
#include "restore/restore_job.h"

extern "C" KQ_API int kq_export_start(const char *config_json) {
  return kq::api::call(-1, [&] {
    if (const char *busy = kq::api::busy_job_text()) {
      kq::set_err("%s", busy);
      return -1;
    }
    if (!config_json || !*config_json) {
      kq::set_err("empty config");
      return -1;
    }
    int rc = kq::export_start(kq::read_export_request(config_json), false);
    if (rc == 0) kq::api::set_restore_current(false);
    return rc;
  });
}

extern "C" KQ_API int kq_export_status(void) {
  return kq::api::poll_call(0, [] { return kq::export_status(); });
}

extern "C" KQ_API double kq_export_progress(void) {
  return kq::api::poll_call(0.0, [] {
    return kq::api::restore_current_job() ? kq::restore_progress() : kq::export_progress();
  });
}

extern "C" KQ_API const char *kq_export_stats_json(void) {
  return kq::api::poll_call("", [] {
    return kq::api::restore_current_job() ? kq::restore_stats_json() : kq::export_stats_json();
  });
}

extern "C" KQ_API const char *kq_export_current(void) {
  return kq::api::poll_call("", [] {
    return kq::api::restore_current_job() ? kq::restore_current() : kq::export_current();
  });
}

extern "C" KQ_API int kq_export_pause(void) {
  return kq::api::poll_call(-1, [] {
    if (kq::api::restore_current_job()) return kq::restore_pause();
    // A batch on several connections pauses on all of them.
    bool lanes = kq::batch_pause();
    return kq::export_pause() == 0 || lanes ? 0 : -1;
  });
}

extern "C" KQ_API int kq_export_resume(void) {
  return kq::api::poll_call(-1, [] {
    if (kq::api::restore_current_job()) return kq::restore_resume();
    bool lanes = kq::batch_resume();
    return kq::export_resume() == 0 || lanes ? 0 : -1;
  });
}

extern "C" KQ_API int kq_export_cancel(void) {
  return kq::api::poll_call(-1, [] {
    // A batch stops at any point: between folders and while searching too.
    bool batch = kq::batch_cancel();
    bool restore = kq::restore_cancel() == 0;
    return kq::export_cancel() == 0 || batch || restore ? 0 : -1;
  });
}

extern "C" KQ_API int kq_export_all_folders(const char *config_json) {
  // batch_start refuses while a job or a batch runs, with its own texts.
  return kq::api::call(-1, [&] {
    if (kq::restore_job_active()) {
      kq::set_err("restore already running");
      return -1;
    }
    int rc = kq::batch_start(kq::read_batch_request(config_json));
    if (rc == 0) kq::api::set_restore_current(false);
    return rc;
  });
}

extern "C" KQ_API const char *kq_export_all_status_json(void) {
  return kq::api::poll_call("", [] { return kq::batch_status_json(); });
}
