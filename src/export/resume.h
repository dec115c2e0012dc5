// resume.json: which UIDs an archive directory already holds, so a later
// export of the same folder into it can skip them.
#pragma once

#include <cstdint>

#include "export/job.h"

namespace kq {

// Most UIDs a resume file lists; keeps the file below the 64 MiB a reader
// accepts, so no stored message drops out of the list.
inline constexpr std::size_t k_resume_max_uids = 5000000;
inline constexpr long long k_resume_max_mbox = 1LL << 62;

// Loads last_uid, the completed list (sorted, without repeats) and the
// all.mbox length of s_job from its directory; silent on every failure.
void resume_read();
// Writes resume.json through a temporary file once every message it names
// is on stable storage; false (the old file kept) when that cannot be made
// sure. The job lock is held.
bool resume_write(export_job *job);
// 1 when uid is in the completed list (bisection), else 0.
int resume_has(const export_job *job, unsigned uid);

// Makes room for one more completed UID; false when memory is short.
bool completed_reserve(export_job *job);
// Inserts uid in order (no repeat); room must have been reserved.
void completed_insert(export_job *job, std::uint32_t uid);

}  // namespace kq
