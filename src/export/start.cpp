// Starting the export job, and the host's view of it.
#include <memory>
#include <string>

#include "archive/hold.h"
#include "archive/layout.h"
#include "archive/owner.h"
#include "base/error.h"
#include "base/text.h"
#include "connection/imap.h"
#include "export/worker.h"
#include "search/search_table.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

// A job given archive_root: its directory is the subdirectory the batch
// gives its folder there, by the layout's one rule. False, with the error
// set, when the path would be too long to keep.
bool place_in_root(export_job &job) {
  if (!job.opt.dir.empty()) return true;
  char sub[k_subdir_cap];
  folder_subdir(sub, job.opt.archive_root.c_str(), job.folder, [](const char *) { return false; });
  std::string dir = job.opt.archive_root + "/" + sub;
  if (dir.size() > k_dir_cap - 1) {
    set_err("dir too long");
    return false;
  }
  job.opt.dir = std::move(dir);
  return true;
}

void worker_entry(void *arg) { job_worker(*static_cast<export_job *>(arg)); }

// Starts a job on the search result (folder null), on `given` rows when
// set, or, for `folder`, one that finds its own rows.
int start_job(export_job &job, session &sess, const export_request &req, bool run_here, const char *folder,
              search_result_ptr given = nullptr) {
  if (job.active) {
    set_err("export already running");
    return -1;
  }
  // One look at the current result: the job exports exactly that one. A
  // job that finds its own rows starts from an empty result of its folder.
  search_result_ptr result = given ? std::move(given)
                             : folder ? std::make_shared<const search_result>(folder)
                                      : current_result();
  if (!folder && result->empty()) {
    set_err("no search results \xe2\x80\x94 call kq_search first");
    return -1;
  }
  if (!sess.usable()) return -1;  // "not connected"
  {
    // Another thread may be reading the last job's figures meanwhile.
    guard hold(job.lock);
    // Checked again under the lock: two starts racing must not both win.
    if (job.active) {
      set_err("export already running");
      return -1;
    }
    export_job_reset(job);
    job.sess = &sess;
    job.result = result;
    if (req.problem) {
      set_err("%s", req.problem);
      export_job_reset(job);
      return -1;
    }
    job.opt = req.opt;
    const std::string &name = job.result->folder();
    copy_cut(job.folder, sizeof job.folder, !name.empty() ? name : "INBOX");
    job.learn_uids = folder != nullptr;
    if (!place_in_root(job)) {
      export_job_reset(job);
      return -1;
    }
    // Held before anything in it is read, so two runs never both work on
    // what the archive lacks.
    if (!job.archive.hold.take(job.opt.dir) || !archive_accepts_folder(job.opt.dir.c_str(), job.folder)) {
      job.archive.hold.release();
      export_job_reset(job);
      return -1;
    }
    load_resume(job);
    job_begin(job);
    // A stop the session was asked for already (the batch's cancel, landed
    // between its own commands and this start) is this job's too: the
    // session would refuse every command, and the job must not keep asking.
    if (sess.stop_requested()) job.cancel_requested = 1;
  }
  // The start went well: no reason of an earlier failure lingers. The
  // worker's own failures reach the host through the stats.
  set_err("%s", "");
  if (run_here) {
    job_worker(job);
    return 0;
  }
  if (!job_spawn(job, worker_entry, &job)) {
    guard hold(job.lock);
    job.result.reset();
    job.completed.clear();
    job.archive.hold.release();
    return -1;
  }
  return 0;
}

}  // namespace

int export_start(const export_request &req, bool run_here) {
  return start_job(export_record(), main_session(), req, run_here, req.folder.empty() ? nullptr : req.folder.c_str());
}

int export_folder_incremental(export_job &job, session &sess, const export_options &opt, const char *folder) {
  export_request req;
  req.opt = opt;
  return start_job(job, sess, req, true, folder);
}

int export_rows(export_job &job, session &sess, const export_options &opt, search_result_ptr rows) {
  export_request req;
  req.opt = opt;
  return start_job(job, sess, req, true, nullptr, std::move(rows));
}

int export_status() { return job_status(export_record()); }
double export_progress() { return job_progress(export_record()); }
const char *export_current() { return job_current(export_record()); }
int export_pause() { return job_pause(export_record()); }
int export_resume() { return job_resume(export_record()); }
int export_cancel() { return job_cancel(export_record()); }

const char *export_stats_json() {
  export_job &job = export_record();
  std::string extra;
  {
    // A job placed by archive_root names its directory: the host chose
    // only the root.
    guard hold(job.lock);
    if (!job.opt.archive_root.empty() && !job.opt.dir.empty()) {
      extra = ",\"dir\":";
      json_append_str_utf8(extra, job.opt.dir);
    }
  }
  // The folder was deleted and created again since the archive was written:
  // its new messages went in beside the earlier ones.
  if (job.recreated.load()) extra += ",\"recreated\":true";
  return job_stats_json(job, extra);
}

}  // namespace kq
