#include "export/job.h"

#include <new>

namespace kq {

namespace {
// The record is built on first use and never destroyed: a detached worker
// may still be running while the process exits.
alignas(export_job) unsigned char g_job_storage[sizeof(export_job)];
}  // namespace

export_job &s_job = *reinterpret_cast<export_job *>(g_job_storage);
int s_job_inited = 0;

void job_init() {
  // A function-local static makes the first use safe even when two threads
  // make their first export call at the same time.
  static const bool built = [] {
    export_job *job = new (g_job_storage) export_job();
    job->resume = 1;
    job->manifest = 1;
    s_job_inited = 1;
    return true;
  }();
  (void)built;
}

bool export_job_active() {
  job_init();
  return s_job.active.load() != 0;
}

void job_reset(export_job *job) {
  job->active = 0;
  job->state = k_job_idle;
  job->cancel_requested = 0;
  job->pause_requested = 0;
  job->dir[0] = '\0';
  job->folder[0] = '\0';
  job->mbox = 0;
  job->naming[0] = '\0';
  job->resume = 1;
  job->manifest = 1;
  job->done = 0;
  job->total = 0;
  job->bytes = 0;
  job->bytes_todo = 0;
  job->tick_ms = 0;
  job->bytes_at_tick = 0;
  job->speed_bps = 0;
  job->last_uid = 0;
  job->current[0] = '\0';
  job->error[0] = '\0';
  job->result.reset();
  job->learn_uids = false;
  job->vanished = 0;
  job->retries = 0;
  job->reconnects = 0;
  job->unfetched.clear();
  job->in_mbox.clear();
  job->mbox_file.close();
  job->mbox_bytes = -1;
  job->manifest_file.close();
  job->made_dir.clear();
  job->uidvalidity = 0;
  job->archived_uidvalidity = 0;
  job->base_uidvalidity = 0;
  job->recreated = 0;
  job->names_indexed = false;
  job->unsynced_files.clear();
  job->unsynced_dirs.clear();
  job->completed.clear();
  job->completed.shrink_to_fit();
}

}  // namespace kq
