#include "export/worker.h"

#include <algorithm>
#include <string>
#include <vector>

#include "archive/file_util.h"
#include "archive/generation.h"
#include "archive/layout.h"
#include "archive/manifest.h"
#include "archive/mbox.h"
#include "base/error.h"
#include "base/text.h"
#include "connection/imap.h"
#include "export/flag_refresh.h"
#include "export/run.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

// all.mbox: appended to in resume mode, cut back to the length that holds
// exactly the completed messages when resume.json knows it.
bool open_mbox(export_job &job, std::vector<std::uint32_t> held) {
  std::string path = job.opt.dir + "/all.mbox";
  bool append = job.opt.resume && plat::path_exists(path.c_str());
  if (!job.archive.mbox_file.open(path.c_str(), !append)) {
    set_err("cannot write %s: %s", path.c_str(), plat::error_text(plat::last_errno()));
    return false;
  }
  if (!append) return true;
  // What the archive held when the job started is in all.mbox already.
  job.archive.in_mbox = std::move(held);
  // Only ever cut at a record boundary: a length from a stale resume.json
  // must not split a record that a later job wrote.
  bool cut = job.archive.mbox_bytes >= 0 && job.archive.mbox_file.size() > job.archive.mbox_bytes &&
             mbox_record_boundary(path.c_str(), job.archive.mbox_bytes) &&
             job.archive.mbox_file.truncate(job.archive.mbox_bytes);
  // A record torn by a crash must not swallow the next separator line.
  if (!cut && ends_inside_line(path.c_str()) && !job.archive.mbox_file.write("\r\n\r\n", 4)) {
    set_err("cannot write %s: %s", path.c_str(), plat::error_text(plat::last_errno()));
    return false;
  }
  return true;
}

// Without a manifest the row tells where a completed message's file is and
// how long it is: one that is gone or of another length is fetched again.
void drop_damaged_without_manifest(export_job &job) {
  bool dated = naming_is_dated(job.opt.naming.c_str());
  std::uint64_t uv = name_uidvalidity(job.gen);
  for (const search_hit &row : job.result->rows()) {
    if (!ledger_has(job.completed, row.uid)) continue;
    std::string path = job.opt.dir + "/" + relative_name(dated, row.date, row.uid, uv);
    long long size = plat::file_size(path.c_str());
    if (size >= 0 && (row.bytes <= 0 || size == row.bytes)) continue;
    if (size >= 0) plat::file_replace(path.c_str(), (path + ".damaged").c_str());
    std::erase(job.completed, row.uid);
  }
}

ending run(export_job &job, bool &touched) {
  session &sess = job.sess ? *job.sess : main_session();
  // A cancel lands while bodies are on the wire: the session stops reading
  // them within a moment (closing the connection if they keep coming), so
  // nothing half-received is stored and the job ends at once.
  session::stop_scope stop(sess, [&job] { return job.cancel_requested.load() != 0; });
  mailbox_state mb;
  // The search that made the rows has usually just opened the folder.
  if (sess.open(job.folder, &mb) != 0) return job.cancel_requested ? ending::cancelled : ending::failed;
  // From here on the archive may change.
  touched = true;
  {
    guard hold(job.lock);
    settle_export_generation(job, mb.uidvalidity);
  }
  // The completed list is the worker's alone while the job runs.
  std::vector<std::uint32_t> held = job.completed;
  if (job.opt.manifest) {
    // Without a manifest nothing says which files are archived messages.
    bool listed = plat::path_exists(manifest_path(job.opt.dir).c_str());
    std::size_t expected = std::max(job.result->size(), job.completed.size());
    job.archive.names_indexed =
        manifest_prune(job.opt.dir.c_str(), job.gen, job.completed, expected) && listed;
  }
  else if (job.opt.resume) drop_damaged_without_manifest(job);
  // The flags of what the archive holds are brought up to date first; a
  // failure there costs only this run's update (the next run asks again).
  if (job.opt.manifest && job.opt.resume) {
    refresh_end r = refresh_flags(job, sess, mb);
    if (r == refresh_end::folder_changed) return ending::failed;
    if (r == refresh_end::failed && job.cancel_requested) return ending::cancelled;
  }
  mkdirs(job.opt.dir.c_str());
  // A mail client takes the directory for a Maildir only with all three.
  if (job.opt.maildir)
    for (const char *sub : {"/cur", "/new", "/tmp"}) mkdirs((job.opt.dir + sub).c_str());
  if (job.opt.mbox && !open_mbox(job, std::move(held))) return ending::failed;
  std::size_t keep = sess.window();
  if (job.learn_uids) {
    ending how = run_learned(job, sess, mb.exists);
    sess.set_window(keep);
    return how;
  }

  {
    guard hold(job.lock);
    count_work(job);
    // Records where this run starts, so a run killed before its first
    // regular update still leaves all.mbox cut back to this point.
    save_resume(job);
  }
  ending how = fetch_bodies(job, sess);
  sess.set_window(keep);
  return how == ending::incomplete ? ending::failed : how;
}

}  // namespace

void job_worker(export_job &job) {
  job.state = k_job_running;
  job_start_clock(job);
  ending how;
  bool touched = false;
  try {
    how = run(job, touched);
  } catch (...) {
    set_err("out of memory");
    how = ending::failed;
  }
  {
    // Every stop records what is stored, so a later resume fetches nothing
    // twice; a failed run records it too.
    guard hold(job.lock);
    // A run that never opened the folder changed nothing to record (and
    // writes nothing into a directory it only just made).
    if (touched) save_resume(job);
    if (how == ending::normal) job.current[0] = '\0';
    job.completed.clear();
    job.completed.shrink_to_fit();
    job.archive.on_disk = resume_data{};
  }
  job.archive.mbox_file.close();
  job.archive.manifest_file.close();
  // Free before the host can see the end, so a run it starts next finds the
  // archive free.
  job.archive.hold.release();
  (job.sess ? *job.sess : main_session()).forget_selection();
  std::int32_t final_state = how == ending::failed ? k_job_error
                             : how == ending::cancelled || job.cancel_requested ? k_job_stopped
                                                                                  : k_job_done;
  // After this the record is not touched.
  job_finish(job, final_state);
}

}  // namespace kq
