#include "export/generation.h"

namespace kq {

void settle_generation(export_job *job, std::uint64_t server_uv) {
  job->uidvalidity = server_uv;
  if (server_uv == 0) return;  // nothing to compare: keep what the archive says
  if (job->archived_uidvalidity != 0 && job->archived_uidvalidity != server_uv) {
    job->completed.clear();
    job->last_uid = 0;
    job->recreated = 1;
  }
  if (job->base_uidvalidity == 0)
    job->base_uidvalidity = job->archived_uidvalidity ? job->archived_uidvalidity : server_uv;
  job->archived_uidvalidity = server_uv;
}

std::uint64_t name_uidvalidity(const export_job *job) {
  if (job->uidvalidity == 0 || job->base_uidvalidity == 0) return 0;
  return job->uidvalidity == job->base_uidvalidity ? 0 : job->uidvalidity;
}

std::uint64_t line_generation(const export_job *job, const manifest_entry &e) {
  return manifest_entry_id(e, job->base_uidvalidity ? job->base_uidvalidity : job->uidvalidity)
      .generation;
}

}  // namespace kq
