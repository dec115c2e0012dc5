// What every background job shares, whatever its work: the state the host
// polls, the steering flags, the counters and the lock. An export is one
// kind of job (src/export/); the work a kind does runs on the machinery here.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/thread_annotations.h"

namespace kq {

// Job states as the status calls report them.
enum : std::int32_t {
  k_job_idle = 0,
  k_job_running = 1,
  k_job_done = 2,
  k_job_stopped = 3,  // paused (active) or cancelled (not active)
  k_job_error = 4,
};

struct job_core {
  // Fields read by one thread while another writes them are atomics or
  // guarded by `lock`; the rest belong to the worker while `active` is 1.
  std::atomic<std::uint32_t> active{0};
  std::atomic<std::int32_t> state{0};
  std::atomic<std::uint32_t> cancel_requested{0};
  std::atomic<std::uint32_t> pause_requested{0};
  // Guards the fields marked below, whatever the kind keeps with them, and
  // the state changes made by the steering calls.
  plat::exclusive_lock lock;
  // Items done and to do, and the bytes moved.
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  std::atomic<long long> bytes{0};
  // Bytes of the items counted into `total`; the estimate of what is left
  // is this minus `bytes`.
  long long bytes_todo KQ_GUARDED_BY(lock) = 0;
  long long tick_ms = 0;
  long long bytes_at_tick = 0;
  std::atomic<long long> speed_bps{0};
  char current[1024] KQ_GUARDED_BY(lock) = {};
  // Why the job ended in error: the worker's own last_error, which no other
  // thread can read, handed to the host through the stats.
  char error[512] KQ_GUARDED_BY(lock) = {};
  // Items the server confirmed gone when their turn came.
  std::atomic<std::uint64_t> vanished{0};
  // Commands asked again (a partial or refused answer) and connections made
  // again during the run.
  std::atomic<std::uint64_t> retries{0};
  std::atomic<std::uint64_t> reconnects{0};
};

// Clears state, flags and counters for a new job (the lock stays as is: a
// worker that just ended may still be leaving it).
void job_core_reset(job_core &job) KQ_REQUIRES(job.lock);

// Marks a job whose start went well running and active. Lock held.
void job_begin(job_core &job) KQ_REQUIRES(job.lock);
// Runs body(arg) on a detached thread of its own; false, with the job ended
// in error and last_error set, when no thread could be made.
bool job_spawn(job_core &job, void (*body)(void *), void *arg);

// The worker's side of steering: sleeps while a pause is requested; false
// when a cancel ends the wait.
bool job_wait_while_paused(job_core &job);
// Refreshes speed_bps about once a second from `bytes`.
void job_sample_speed(job_core &job);
// Starts the speed measurement at the beginning of a run.
void job_start_clock(job_core &job);
// Ends the run as the worker's very last act: `final_state` and `active`
// change together (with the worker's last_error as the reason of an
// error), so a host that sees the end may start the next job at once.
void job_finish(job_core &job, std::int32_t final_state);

// The host's side: reports and steering.
std::int32_t job_status(const job_core &job);
double job_progress(const job_core &job);
// The stats JSON; `extra` (",\"key\":value" pairs of the kind) goes in
// before the error reason.
const char *job_stats_json(job_core &job, std::string_view extra);
const char *job_current(job_core &job);
// 0 when taken, -1 when the job is in no state for it.
int job_pause(job_core &job);
int job_resume(job_core &job);
int job_cancel(job_core &job);

}  // namespace kq
