// The export job's thread body, its start and the host's view of it.
#pragma once

#include "connection/session.h"
#include "export/export_job.h"

namespace kq {

// Opens the folder, prunes the manifest, and stores every row of the search
// table that the archive does not hold yet; ends the job in state 2, 3 or 4
// and clears `active` as its very last act.
void job_worker(export_job &job);

// Starts an export of the current search result (req.problem, when set, is
// the start's failure once the job, the result and the connection are
// found usable). With run_here the job
// runs on the calling thread and has ended when this returns (the batch
// uses that); otherwise on a thread of its own. 0, or -1 with last_error.
int export_start(const export_request &req, bool run_here);

// Exports `folder` on the calling thread, as `job` over `sess` (the batch
// gives each of its lanes a job record and a connection; its first lane's
// are export_record() and main_session()), with resume on, fetching rows and
// bodies only for the UIDs the archive does not hold: the folder's UIDs
// come in one command, the archive's completed list (checked against the
// manifest and the folder's UIDVALIDITY) is taken off, and what is left is
// fetched in parts. 0 once the job has ended, or -1 with last_error.
int export_folder_incremental(export_job &job, session &sess, const export_options &opt, const char *folder);

// Exports exactly `rows` (of the folder they name, which the session has
// selected) on the calling thread, as export_start does the current search
// result, which stays as it is: the batch fetches a folder's rows itself,
// in the same round trip as its EXAMINE. 0 once the job has ended, or -1
// with last_error. `job` and `sess` as for export_folder_incremental.
int export_rows(export_job &job, session &sess, const export_options &opt, search_result_ptr rows);

// The job's steering and reports (what the export calls return).
int export_status();
double export_progress();
const char *export_stats_json();
const char *export_current();
// 0 when taken, -1 when the job is in no state for it.
int export_pause();
int export_resume();
int export_cancel();

}  // namespace kq
