// The host's side of a job: its status, progress and statistics, and the
// pause, resume and cancel calls.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/text.h"
#include "job/job.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

// The state as a word: code 3 is a pause while the job still holds its
// worker, a cancel once it has let go.
const char *state_word(std::int32_t state, bool active) {
  switch (state) {
    case k_job_running: return "running";
    case k_job_done: return "done";
    case k_job_stopped: return active ? "paused" : "cancelled";
    case k_job_error: return "error";
    default: return "idle";
  }
}

}  // namespace

std::int32_t job_status(const job_core &job) { return job.state; }

double job_progress(const job_core &job) {
  std::uint64_t total = job.total, done = job.done;
  if (total == 0) return 0.0;
  double p = static_cast<double>(done) / static_cast<double>(total);
  return p < 1.0 ? p : 1.0;
}

const char *job_stats_json(job_core &job, std::string_view extra) {
  // One text per thread: a poll from one thread never rewrites the text
  // another thread is still reading.
  thread_local std::string out;
  long long done, bytes, eta = 0, speed;
  const char *word;
  std::string error;
  {
    guard hold(job.lock);
    std::int32_t state = job.state;
    word = state_word(state, job.active != 0);
    done = static_cast<long long>(job.done.load());
    bytes = job.bytes;
    speed = job.speed_bps;
    auto total = static_cast<long long>(job.total.load());
    // What is left: the bytes of the items the job counted, less those done.
    if (state == k_job_running && speed > 1 && total > done) {
      long long left = job.bytes_todo - bytes;
      eta = left > 0 ? left / speed : 0;
      if (eta >= 31536001) eta = 0;
    }
    if (state == k_job_error) error = job.error;
  }
  long long total = static_cast<long long>(job.total.load());
  auto vanished = static_cast<unsigned long long>(job.vanished.load());
  char head[256];
  std::snprintf(head, sizeof head,
                "{\"done\":%lld,\"total\":%lld,\"bytes\":%lld,\"eta_s\":%lld,\"speed_bps\":%lld,"
                "\"state\":\"%s\"",
                done, total, bytes, eta, speed, word);
  out = head;
  auto add = [](const char *key, unsigned long long n) {
    out += ",\"";
    out += key;
    out += "\":";
    out += decimal(n);
  };
  // Items gone on the server before their turn; only named when there
  // were any, so the common text stays as it always was.
  if (vanished > 0) add("vanished", vanished);
  // Commands asked again and connections made again: a slow or throttling
  // server shows here.
  if (auto r = job.retries.load()) add("retries", r);
  if (auto r = job.reconnects.load()) add("reconnects", r);
  out += extra;
  // Why a job ended in error: the worker's failure is its own thread's, so
  // the host reads it here.
  if (!error.empty()) {
    out += ",\"error\":";
    json_append_str_utf8(out, error);
  }
  out += "}";
  return out.c_str();
}

const char *job_current(job_core &job) {
  // A copy taken under the lock (the worker rewrites the text as it goes),
  // one per thread.
  thread_local char out[1024];
  guard hold(job.lock);
  std::memcpy(out, job.current, sizeof out);
  return out;
}

int job_pause(job_core &job) {
  guard hold(job.lock);
  if (!job.active || job.state != k_job_running || job.cancel_requested) return -1;
  job.pause_requested = 1;
  return 0;
}

int job_resume(job_core &job) {
  guard hold(job.lock);
  // A pause still taking effect (the worker drains what is in flight first,
  // its state still "running") is simply called off: refusing it would let
  // the pause land after the host was told the job runs on.
  bool paused = job.state == k_job_stopped || job.pause_requested;
  if (!job.active || !paused || job.cancel_requested) return -1;
  job.pause_requested = 0;
  job.state = k_job_running;
  return 0;
}

int job_cancel(job_core &job) {
  guard hold(job.lock);
  if (!job.active) return -1;
  job.cancel_requested = 1;
  job.pause_requested = 0;
  return 0;
}

}  // namespace kq
