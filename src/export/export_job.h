// The export job: a job (src/job/) whose work is storing a folder's
// messages in an archive directory. One per process, reached through
// export_record().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/durable.h"
#include "base/text.h"
#include "archive/generation.h"
#include "archive/hold.h"
#include "archive/resume_file.h"
#include "job/job.h"
#include "job/ledger.h"
#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

class session;

inline constexpr std::size_t k_path_cap = 4352;  // full path of a message file
inline constexpr std::size_t k_dir_cap = 4096;   // what an export keeps of "dir"

// How an export writes its archive, read once from the host's JSON (or
// filled in by the batch) and handed to the job as it is.
struct export_options {
  std::string dir;       // the archive directory, without trailing separators
  // Without dir: an export-all directory, the archive then being the
  // subdirectory the batch gives the job's folder there (so a later batch
  // resumes it).
  std::string archive_root;
  bool mbox = false;     // all.mbox besides the .eml files ("format" names mbox)
  // A Maildir (cur/, new/, tmp/, one file per message in cur/) instead of
  // the .eml files ("format" names maildir); naming is not used then.
  bool maildir = false;
  std::string naming;    // "YYYY" in it: year-month directories
  bool resume = true;    // skip what the archive holds
  bool manifest = true;  // keep manifest.jsonl
};

// kq_export_start's configuration as read: the options, or why they are
// unusable (the start reports that after its own checks, as it always has).
struct export_request {
  export_options opt;
  // "folder": the whole folder, learned by the job itself (the batch's
  // incremental run), instead of the current search result. Empty: none.
  std::string folder;
  const char *problem = nullptr;
};

// Reads a non-empty configuration. A flag is on when its value is a number
// that is not 0 once truncated (absent: on; anything else, true included:
// off); the batch reads its flags by the same rule.
export_request read_export_request(const char *config_json);
bool json_flag(yyjson_val *obj, const char *key);

// The archive as the job writes it: open files, what they hold and what is
// not on stable storage yet. The worker's alone while the job runs.
struct archive_writer {
  // The completed list as the job started: all.mbox holds these already, so
  // a message fetched again (its file damaged) is not appended twice.
  id_ledger in_mbox;
  plat::append_file mbox_file;
  // Length of all.mbox that holds exactly the messages of `completed`, as
  // loaded from resume.json (-1 unknown); bytes past it are re-exported.
  long long mbox_bytes = -1;
  plat::append_file manifest_file;
  std::string made_dir;  // the message directory created last
  // The manifest was read in full when the job started: a file it does not
  // list is no archived message.
  bool names_indexed = false;
  unsynced_writes unsynced;
  // What resume.json says as the job loaded or last wrote it (known: it
  // was read or written). A save that would record the same is left out,
  // so a re-run that stores nothing writes nothing.
  bool on_disk_known = false;
  resume_data on_disk;
  // The manifest's length when it was last synced; -1 while this job has
  // appended nothing. Lines appended since (flag lines, with no new message
  // to name in resume.json) are still synced at the next save.
  long long manifest_synced = -1;
  // The archive directory, held from the start until the files are closed.
  archive_hold hold;
};

struct export_job : job_core {
  // The connection the job runs on: the library's one session, or a
  // connection of the batch's own (each of its lanes has one).
  session *sess = nullptr;
  export_options opt;
  char folder[1024] = {};
  // The search result the job exports, shared with the host's side: a
  // result never changes once made, and a later search makes another one
  // current, so nothing the host does afterwards reaches a running job.
  search_result_ptr result;
  // The job finds its own rows: it learns the folder's UIDs and fetches
  // rows only for those the archive lacks (the batch's runs; `result` then
  // holds one part at a time).
  bool learn_uids = false;
  long long last_uid = 0;
  // UIDs neither stored nor confirmed gone, ascending: a run that leaves
  // any ends failed and names them.
  std::vector<std::uint32_t> unfetched;
  archive_generation gen;
  // The folder was deleted and created again since the archive was written:
  // its UIDs name other messages now.
  std::atomic<std::uint32_t> recreated{0};
  archive_writer archive;
  // What the archive holds of the current generation.
  id_ledger completed;
  // The folder's HIGHESTMODSEQ as of which the manifest's flags for the
  // completed UIDs are current (resume.json's "highestmodseq"); 0 unknown.
  std::uint64_t modseq = 0;
};

// The process's one export job (the host's, and the batch's first lane),
// built on first use and never destroyed: a detached worker may still be
// running while the process exits. The batch's other lanes have records
// of their own.
export_job &export_record();
// True while the export job's worker has not yet let go of the job.
bool export_job_active();
// Clears settings, counters and lists for a new job.
void export_job_reset(export_job &job) KQ_REQUIRES(job.lock);

// Takes the UIDVALIDITY SELECT reported (settle_generation); when the
// folder was created again the completed list stops counting and
// `recreated` is set. Lock held.
void settle_export_generation(export_job &job, std::uint64_t server_uidvalidity) KQ_REQUIRES(job.lock);

// Loads last_uid, the completed list and the all.mbox length from the
// archive's resume.json; silent on every failure.
void load_resume(export_job &job);
// Writes resume.json once every message it names is on stable storage;
// false (the old file kept) when that cannot be made sure. Lock held.
bool save_resume(export_job &job) KQ_REQUIRES(job.lock);

// Sets `total` and `bytes_todo` from the search table: every row, less (in
// resume mode) the rows whose UID the completed list holds. Lock held.
void count_work(export_job &job) KQ_REQUIRES(job.lock);

}  // namespace kq
