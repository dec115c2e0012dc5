// Bringing the flags the manifest records for already stored messages up to
// date on a later run over the same folder.
#pragma once

#include "connection/session.h"
#include "export/export_job.h"

namespace kq {

// For every UID of the job's completed list (the pruned list of what the
// archive holds), asks the server for its flags (and Gmail labels where the
// server keeps them) and appends a flag line to the manifest for each one
// whose flags differ from the latest the manifest records. With CONDSTORE
// and a HIGHESTMODSEQ from an earlier run it asks only for what changed
// since; otherwise for all of them. On success job.modseq becomes the
// folder's HIGHESTMODSEQ as `mb` gives it (0 when unknown), for resume.json.
// Failure (the server refused, the connection was lost, a cancel) leaves
// job.modseq as it was, so the next run asks again from there; the caller
// carries on with the run. `mb` may be refreshed by a second selection when
// the one the session holds came without a HIGHESTMODSEQ. Manifest and
// resume on only; the worker thread, job lock not held.
// folder_changed: that second selection found another UIDVALIDITY, so the
// run must end (last_error says why).
enum class refresh_end { done, failed, folder_changed };
refresh_end refresh_flags(export_job &job, session &sess, mailbox_state &mb);

}  // namespace kq
