#include "job/job.h"

#include "base/error.h"
#include "base/text.h"
#include "job/thread_spawn.h"

namespace kq {

namespace {
using guard = plat::lock_guard;
}  // namespace

void job_core_reset(job_core &job) {
  job.active = 0;
  job.state = k_job_idle;
  job.cancel_requested = 0;
  job.pause_requested = 0;
  job.done = 0;
  job.total = 0;
  job.bytes = 0;
  job.bytes_todo = 0;
  job.tick_ms = 0;
  job.bytes_at_tick = 0;
  job.speed_bps = 0;
  job.current[0] = '\0';
  job.error[0] = '\0';
  job.vanished = 0;
  job.retries = 0;
  job.reconnects = 0;
}

void job_begin(job_core &job) {
  job.cancel_requested = 0;
  job.pause_requested = 0;
  job.state = k_job_running;
  job.active = 1;
}

bool job_spawn(job_core &job, void (*body)(void *), void *arg) {
  if (kq_thread_spawn(body, arg)) return true;
  guard hold(job.lock);
  copy_cut(job.error, sizeof job.error, "thread create failed");
  job.state = k_job_error;
  job.active = 0;
  set_err("thread create failed");
  return false;
}

bool job_wait_while_paused(job_core &job) {
  for (;;) {
    {
      guard hold(job.lock);
      if (job.cancel_requested) return false;
      if (!job.pause_requested) {
        job.state = k_job_running;
        return true;
      }
      job.state = k_job_stopped;
    }
    // Short: a resume or cancel is taken up at once, and a look at two
    // atomics under the lock costs nothing.
    plat::sleep_ms(10);
  }
}

void job_start_clock(job_core &job) {
  job.tick_ms = static_cast<long long>(plat::tick_ms());
  job.bytes_at_tick = 0;
}

void job_sample_speed(job_core &job) {
  auto now = static_cast<long long>(plat::tick_ms());
  long long elapsed = now - job.tick_ms;
  if (elapsed <= 999) return;
  long long b = job.bytes;
  job.speed_bps = (b - job.bytes_at_tick) * 1000 / elapsed;
  job.bytes_at_tick = b;
  job.tick_ms = now;
}

void job_finish(job_core &job, std::int32_t final_state) {
  guard hold(job.lock);
  // The reason goes with the state: the host cannot read this thread's
  // last_error.
  if (final_state == k_job_error) copy_cut(job.error, sizeof job.error, last_error());
  job.state = final_state;
  job.active = 0;
}

}  // namespace kq
