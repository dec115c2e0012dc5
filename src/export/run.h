// The parts of an export run, shared by the worker (worker.cpp), the body
// fetcher (fetcher.cpp) and the learned run (learned.cpp).
#pragma once

#include "connection/session.h"
#include "export/export_job.h"
#include "search/search_table.h"

namespace kq {

// How a run ended; `incomplete` is a failure that named the UIDs it could
// not fetch.
enum class ending { normal, cancelled, failed, incomplete };

// The size the server announced for a row, 0 when it gave none.
inline long long announced(const search_hit &row) { return row.bytes > 0 ? row.bytes : 0; }

// Fetches the bodies of the job's rows that the archive lacks and stores
// each as it arrives.
ending fetch_bodies(export_job &job, session &s);

// The folder's UIDs less what the archive holds, rows and bodies fetched
// part by part; `exists` is the folder's message count.
ending run_learned(export_job &job, session &sess, long long exists);

}  // namespace kq
