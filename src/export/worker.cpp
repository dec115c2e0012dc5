#include "export/worker.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "base/error.h"
#include "base/text.h"
#include "export/export_one.h"
#include "export/file_util.h"
#include "export/layout.h"
#include "export/manifest.h"
#include "export/resume.h"
#include "search/search_table.h"

namespace kq {

namespace {

using guard = std::lock_guard<plat::exclusive_lock>;

enum class ending { normal, cancelled, failed };

// all.mbox: appended to in resume mode, cut back to the length that holds
// exactly the completed messages when resume.json knows it.
bool open_mbox(export_job *job) {
  std::string path = std::string(job->dir) + "/all.mbox";
  bool append = job->resume && plat::path_exists(path.c_str());
  if (!job->mbox_file.open(path.c_str(), !append)) {
    set_err("cannot write %s", path.c_str());
    return false;
  }
  if (!append) return true;
  // Only ever cut at a record boundary: a length from a stale resume.json
  // must not split a record that a later job wrote.
  bool cut = job->mbox_bytes >= 0 && job->mbox_file.size() > job->mbox_bytes &&
             mbox_record_boundary(path.c_str(), job->mbox_bytes) &&
             job->mbox_file.truncate(job->mbox_bytes);
  // A record torn by a crash must not swallow the next separator line.
  if (!cut && ends_inside_line(path.c_str()) && !job->mbox_file.write("\r\n\r\n", 4)) {
    set_err("cannot write %s", path.c_str());
    return false;
  }
  return true;
}

// Sleeps while a pause is requested; false when a cancel ends the wait.
bool wait_while_paused(export_job *job) {
  for (;;) {
    {
      guard hold(job->lock);
      if (job->cancel_requested) return false;
      if (!job->pause_requested) {
        job->state = k_job_running;
        return true;
      }
      job->state = k_job_stopped;
    }
    plat::sleep_ms(200);
  }
}

// The retry pause after a failed message; a cancel cuts it short.
bool wait_before_retry(export_job *job) {
  for (int i = 0; i < 10; ++i) {
    if (job->cancel_requested) return false;
    plat::sleep_ms(200);
  }
  return !job->cancel_requested;
}

void sample_speed(export_job *job) {
  auto now = static_cast<long long>(plat::tick_ms());
  long long elapsed = now - job->tick_ms;
  if (elapsed <= 999) return;
  long long b = job->bytes;
  job->speed_bps = (b - job->bytes_at_tick) * 1000 / elapsed;
  job->bytes_at_tick = b;
  job->tick_ms = now;
}

}  // namespace

void count_work(export_job *job) {
  std::uint64_t total = 0;
  long long todo = 0;
  for (int i = 0; i < s_search_count; ++i) {
    const search_hit &row = s_search[i];
    if (job->resume && resume_has(job, row.uid)) continue;
    ++total;
    todo += row.bytes > 0 ? row.bytes : 0;
  }
  job->total = total;
  job->bytes_todo = todo;
}

namespace {

ending run(export_job *job) {
  if (imap_select(job->reader.get(), job->folder, nullptr) != 0) return ending::failed;
  if (job->manifest) manifest_prune(job, static_cast<std::size_t>(s_search_count));
  mkdirs(job->dir);
  if (job->mbox && !open_mbox(job)) return ending::failed;

  {
    guard hold(job->lock);
    count_work(job);
    // Records where this run starts, so a run killed before its first
    // regular update still leaves all.mbox cut back to this point.
    resume_write(job);
  }

  char path[k_path_cap];
  for (int i = 0; i < s_search_count; ++i) {
    if (job->cancel_requested) return ending::cancelled;
    if (job->pause_requested && !wait_while_paused(job)) return ending::cancelled;
    const search_hit &row = s_search[i];
    {
      guard hold(job->lock);
      // Skip exactly what the archive holds.
      if (job->resume && resume_has(job, row.uid)) continue;
      char uid[32];
      std::snprintf(uid, sizeof uid, "  uid=%u  ", row.uid);
      copy_cut(job->current, sizeof job->current,
               std::string(job->folder) + uid + row.subject);  // cut at 1023
    }
    if (export_one(job, &row, path) != 0) {
      if (!wait_before_retry(job)) return ending::cancelled;
      if (export_one(job, &row, path) != 0) return ending::failed;
    }
    std::uint64_t done;
    {
      guard hold(job->lock);
      done = ++job->done;
      job->bytes += row.bytes > 0 ? row.bytes : 0;
      if (static_cast<long long>(row.uid) > job->last_uid) job->last_uid = row.uid;
    }
    sample_speed(job);
    if (done % 10 == 0 || done == job->total) {
      guard hold(job->lock);
      resume_write(job);
    }
  }
  return ending::normal;
}

}  // namespace

void job_worker(export_job *job) {
  job->state = k_job_running;
  job->tick_ms = static_cast<long long>(plat::tick_ms());
  job->bytes_at_tick = 0;
  ending how;
  try {
    how = run(job);
  } catch (...) {
    set_err("out of memory");
    how = ending::failed;
  }
  if (how == ending::normal) {
    guard hold(job->lock);
    resume_write(job);
    job->current[0] = '\0';
  }
  job->mbox_file.close();
  job->manifest_file.close();
  job->reader.reset();
  std::int32_t final_state = how == ending::failed ? k_job_error
                             : how == ending::cancelled || job->cancel_requested ? k_job_stopped
                                                                                  : k_job_done;
  // State and `active` change together, so a host that sees the end may
  // start the next job at once; after this the record is not touched.
  guard hold(job->lock);
  job->completed.clear();
  job->completed.shrink_to_fit();
  job->state = final_state;
  job->active = 0;
}

}  // namespace kq
