#include "api/guard.h"

#include "batch/batch.h"
#include "export/worker.h"

namespace kq::api {

plat::exclusive_lock &host_mutex() {
  static plat::exclusive_lock m;
  return m;
}

bool background_active() { return export_job_active() || batch_active(); }

void stop_background_work() {
  if (!background_active()) return;
  batch_cancel();
  export_cancel();
  while (background_active()) plat::sleep_ms(20);
}

}  // namespace kq::api
