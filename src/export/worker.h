// The export job's thread body.
#pragma once

#include "export/job.h"

namespace kq {

// Opens the folder, prunes the manifest, and stores every row of the search
// table that the archive does not hold yet; ends the job in state 2, 3 or 4
// and clears `active` as its very last act.
void job_worker(export_job *job);

// Sets `total` and `bytes_todo` from the search table: every row, less (in
// resume mode) the rows whose UID the completed list holds. Lock held.
void count_work(export_job *job);

}  // namespace kq
