// UIDVALIDITY generations of one archive. A folder deleted and created again
// restarts its UIDs under a new UIDVALIDITY, so a UID names a message only
// together with it: the archive keeps every generation's messages, and a
// later generation's files carry the UIDVALIDITY in their names.
#pragma once

#include <cstdint>

#include "archive/manifest.h"
#include "export/job.h"

namespace kq {

// Compares the UIDVALIDITY that SELECT reported with the one the archive
// recorded. An archive that recorded none adopts the server's. When they
// differ the completed list stops counting (its UIDs were another folder's)
// and `recreated` is set. Job lock held.
void settle_generation(export_job *job, std::uint64_t server_uidvalidity);

// The UIDVALIDITY a new message file's name carries, 0 for the plain name.
std::uint64_t name_uidvalidity(const export_job *job);

// The generation a manifest line belongs to: its own UIDVALIDITY, else (a
// line written before it was recorded) the archive's first one, else the
// current one.
std::uint64_t line_generation(const export_job *job, const manifest_entry &e);

}  // namespace kq
