// Starting, polling and steering the export job.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include <yyjson.h>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "export/archive_owner.h"
#include "export/batch.h"
#include "export/job.h"
#include "export/resume.h"
#include "export/thread_spawn.h"
#include "export/worker.h"
#include "search/search_table.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

void worker_entry(void *arg) { job_worker(static_cast<export_job *>(arg)); }

// Reads the configuration into a freshly reset job; false with the reason
// set when it is unusable.
bool configure(export_job *job, const char *config) {
  json_doc doc;
  if (!doc.parse(config, std::strlen(config))) {
    set_err("invalid export config JSON");
    return false;
  }
  yyjson_val *root = doc.root();
  if (yyjson_is_obj(root)) {
    // A "dir" or "naming" that is not a text counts as absent.
    if (const char *d = json_str(root, "dir")) copy_cut(job->dir, sizeof job->dir, d);
    if (yyjson_val *f = json_key(root, "format"))
      job->mbox = yyjson_is_str(f) && std::strstr(yyjson_get_str(f), "mbox") ? 1 : 0;
    if (const char *n = json_str(root, "naming")) copy_cut(job->naming, sizeof job->naming, n);
    job->resume = json_num(root, "resume", 1) != 0 ? 1 : 0;
    job->manifest = json_num(root, "manifest", 1) != 0 ? 1 : 0;
  }
  if (!job->dir[0]) {
    set_err("config missing dir");
    return false;
  }
  std::size_t n = std::strlen(job->dir);
  while (n > 1 && (job->dir[n - 1] == '/' || job->dir[n - 1] == '\\')) job->dir[--n] = '\0';
  const std::string &folder = job->result->folder();
  copy_cut(job->folder, sizeof job->folder, !folder.empty() ? folder : "INBOX");
  return true;
}

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

namespace {

// Starts a job on the search result (folder null) or, for `folder`, one
// that finds its own rows.
int start_job(const char *config, bool run_here, const char *folder) {
  job_init();
  export_job *job = &s_job;
  if (!config || !*config) {
    set_err("empty config");
    return -1;
  }
  if (job->active) {
    set_err("export already running");
    return -1;
  }
  // One look at the current result: the job exports exactly that one. A
  // job that finds its own rows starts from an empty result of its folder.
  search_result_ptr result = folder ? std::make_shared<const search_result>(folder) : current_result();
  if (!folder && result->empty()) {
    set_err("no search results \xe2\x80\x94 call kq_search first");
    return -1;
  }
  if (!conn_usable()) return -1;  // "not connected"
  {
    // Another thread may be reading the last job's figures meanwhile.
    guard hold(job->lock);
    // Checked again under the lock: two starts racing must not both win.
    if (job->active) {
      set_err("export already running");
      return -1;
    }
    job_reset(job);
    job->result = result;
    if (!configure(job, config)) {
      job_reset(job);
      return -1;
    }
    job->learn_uids = folder != nullptr;
    if (!archive_accepts_folder(job->dir, job->folder)) {
      job_reset(job);
      return -1;
    }
    resume_read();
    job->cancel_requested = 0;
    job->pause_requested = 0;
    job->state = k_job_running;
    job->active = 1;
  }
  // The start went well: no reason of an earlier failure lingers. The
  // worker's own failures reach the host through the stats.
  set_err("%s", "");
  if (run_here) {
    job_worker(job);
    return 0;
  }
  if (!kq_thread_spawn(worker_entry, job)) {
    guard hold(job->lock);
    job->result.reset();
    job->completed.clear();
    copy_cut(job->error, sizeof job->error, "thread create failed");
    job->state = k_job_error;
    job->active = 0;
    set_err("thread create failed");
    return -1;
  }
  return 0;
}

}  // namespace

int export_start(const char *config, bool run_here) { return start_job(config, run_here, nullptr); }

int export_folder_incremental(const char *config, const char *folder) {
  return start_job(config, true, folder);
}

int export_status() {
  job_init();
  return s_job.state;
}

double export_progress() {
  job_init();
  std::uint64_t total = s_job.total, done = s_job.done;
  if (total == 0) return 0.0;
  double p = static_cast<double>(done) / static_cast<double>(total);
  return p < 1.0 ? p : 1.0;
}

const char *export_stats_json() {
  // One text per thread: a poll from one thread never rewrites the text
  // another thread is still reading.
  thread_local std::string out;
  job_init();
  long long done, bytes, eta = 0, speed;
  const char *word;
  std::string error;
  {
    guard hold(s_job.lock);
    std::int32_t state = s_job.state;
    word = state_word(state, s_job.active != 0);
    done = static_cast<long long>(s_job.done.load());
    bytes = s_job.bytes;
    speed = s_job.speed_bps;
    auto total = static_cast<long long>(s_job.total.load());
    // What is left: the bytes of the rows the job counted, less those done.
    if (state == k_job_running && speed > 1 && total > done) {
      long long left = s_job.bytes_todo - bytes;
      eta = left > 0 ? left / speed : 0;
      if (eta >= 31536001) eta = 0;
    }
    if (state == k_job_error) error = s_job.error;
  }
  long long total = static_cast<long long>(s_job.total.load());
  auto vanished = static_cast<unsigned long long>(s_job.vanished.load());
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
  // Messages expunged on the server before their turn; only named when
  // there were any, so the common text stays as it always was.
  if (vanished > 0) add("vanished", vanished);
  // Commands asked again and connections made again: a slow or throttling
  // server shows here.
  if (auto r = s_job.retries.load()) add("retries", r);
  if (auto r = s_job.reconnects.load()) add("reconnects", r);
  // The folder was deleted and created again since the archive was written:
  // its new messages went in beside the earlier ones.
  if (s_job.recreated.load()) out += ",\"recreated\":true";
  // Why a job ended in error: the worker's failure is its own thread's, so
  // the host reads it here.
  if (!error.empty()) {
    out += ",\"error\":";
    json_append_str_utf8(out, error);
  }
  out += "}";
  return out.c_str();
}

const char *export_current() {
  // A copy taken under the lock (the worker rewrites the text as it goes),
  // one per thread.
  thread_local char out[1024];
  job_init();
  guard hold(s_job.lock);
  std::memcpy(out, s_job.current, sizeof out);
  return out;
}

int export_pause() {
  job_init();
  guard hold(s_job.lock);
  if (!s_job.active || s_job.state != k_job_running || s_job.cancel_requested) return -1;
  s_job.pause_requested = 1;
  return 0;
}

int export_resume() {
  job_init();
  guard hold(s_job.lock);
  // A pause still taking effect (the worker drains what is in flight first,
  // its state still "running") is simply called off: refusing it would let
  // the pause land after the host was told the job runs on.
  bool paused = s_job.state == k_job_stopped || s_job.pause_requested;
  if (!s_job.active || !paused || s_job.cancel_requested) return -1;
  s_job.pause_requested = 0;
  s_job.state = k_job_running;
  return 0;
}

int export_cancel() {
  job_init();
  // A batch stops at any point: between folders and while searching too.
  bool batch = batch_cancel();
  guard hold(s_job.lock);
  if (!s_job.active) return batch ? 0 : -1;
  s_job.cancel_requested = 1;
  s_job.pause_requested = 0;
  return 0;
}

}  // namespace kq
