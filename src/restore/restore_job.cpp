#include "restore/restore_job.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <yyjson.h>

#include "archive/manifest.h"
#include "base/error.h"
#include "base/text.h"
#include "connection/imap.h"
#include "job/thread_spawn.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

alignas(restore_job) unsigned char g_storage[sizeof(restore_job)];

// A flag is on unless its value is a number that truncates to 0, the rule
// the export's flags follow.
bool flag_on(yyjson_val *root, const char *key) { return json_num(root, key, 1) != 0; }

void reset(restore_job &job) KQ_REQUIRES(job.lock) {
  job_core_reset(job);
  job.opt = restore_options{};
  job.restored = 0;
  job.present = 0;
  job.failures.clear();
  job.shown_folder.clear();
}

void worker_entry(void *arg) { restore_worker(*static_cast<restore_job *>(arg)); }

}  // namespace

restore_request read_restore_request(const char *config) {
  restore_request req;
  json_doc doc;
  if (!doc.parse(config, std::strlen(config))) {
    req.problem = "invalid restore config JSON";
    return req;
  }
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) {
    req.problem = "invalid restore config JSON";
    return req;
  }
  if (const char *d = json_str(root, "dir")) req.opt.dir = d;
  if (const char *f = json_str(root, "folder")) req.opt.folder = f;
  if (const char *p = json_str(root, "prefix")) req.opt.prefix = p;
  // Both would leave it unclear which the host meant the target to be.
  bool both = json_str(root, "folder") && json_str(root, "prefix");
  req.opt.create = flag_on(root, "create");
  req.opt.flags = flag_on(root, "flags");
  std::string &dir = req.opt.dir;
  while (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  if (dir.empty()) req.problem = "config missing dir";
  else if (both) req.problem = "give folder or prefix, not both";
  else if (req.opt.folder.size() > 1000 || req.opt.prefix.size() > 1000) req.problem = "folder name too long";
  return req;
}

restore_job &restore_record() {
  static restore_job *const job = new (g_storage) restore_job();
  return *job;
}

bool restore_job_active() { return restore_record().active.load() != 0; }

int restore_start(const restore_request &req) {
  restore_job &job = restore_record();
  if (job.active) {
    set_err("restore already running");
    return -1;
  }
  if (req.problem) {
    set_err("%s", req.problem);
    return -1;
  }
  // Only an archive folder's directory: one a restore would make empty
  // holds nothing to put back.
  if (!plat::path_exists(manifest_path(req.opt.dir).c_str())) {
    set_err("no manifest in %s", req.opt.dir.c_str());
    return -1;
  }
  if (!conn_usable()) return -1;
  {
    guard hold(job.lock);
    if (job.active) {
      set_err("restore already running");
      return -1;
    }
    reset(job);
    job.opt = req.opt;
    // The archive stays as it is while it is read: no export writes into it
    // meanwhile, and no second restore keeps the same ledger.
    if (!job.hold.take(job.opt.dir)) {
      job.hold.release();
      reset(job);
      return -1;
    }
    job_begin(job);
  }
  set_err("%s", "");
  if (!job_spawn(job, worker_entry, &job)) {
    job.hold.release();
    return -1;
  }
  return 0;
}

int restore_status() { return job_status(restore_record()); }
double restore_progress() { return job_progress(restore_record()); }
const char *restore_current() { return job_current(restore_record()); }
int restore_pause() { return job_pause(restore_record()); }
int restore_resume() { return job_resume(restore_record()); }
int restore_cancel() { return job_cancel(restore_record()); }

const char *restore_stats_json() {
  restore_job &job = restore_record();
  std::string extra = ",\"kind\":\"restore\",\"restored\":";
  extra += decimal(job.restored.load());
  extra += ",\"present\":";
  extra += decimal(job.present.load());
  {
    guard hold(job.lock);
    extra += ",\"failed\":";
    extra += decimal(job.failures.size());
    extra += ",\"failures\":[";
    for (std::size_t i = 0; i < job.failures.size(); ++i) {
      if (i) extra += ',';
      extra += "{\"uid\":";
      extra += decimal(job.failures[i].uid);
      extra += ",\"reason\":";
      json_append_str_utf8(extra, job.failures[i].reason);
      extra += '}';
    }
    extra += ']';
    if (!job.shown_folder.empty()) {
      extra += ",\"folder\":";
      json_append_str_utf8(extra, job.shown_folder);
    }
  }
  return job_stats_json(job, extra);
}

}  // namespace kq
