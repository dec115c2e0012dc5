#include "api/guard.h"

#include <atomic>

#include "batch/batch.h"
#include "export/worker.h"
#include "restore/restore_job.h"

namespace kq::api {

plat::exclusive_lock &host_mutex() {
  static plat::exclusive_lock m;
  return m;
}

bool background_active() { return export_job_active() || batch_active() || restore_job_active(); }

const char *busy_job_text() {
  if (restore_job_active()) return "restore already running";
  if (export_job_active() || batch_active()) return "export already running";
  return nullptr;
}

namespace {
std::atomic<bool> g_restore_current{false};
}  // namespace

void set_restore_current(bool restore) { g_restore_current = restore; }
bool restore_current_job() { return g_restore_current; }

void stop_background_work() {
  if (!background_active()) return;
  batch_cancel();
  export_cancel();
  restore_cancel();
  while (background_active()) plat::sleep_ms(20);
}

}  // namespace kq::api
