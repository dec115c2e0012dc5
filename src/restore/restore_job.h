// The restore job: a job (src/job/) whose work is putting an archive
// folder's messages back on a server, each exactly once, with its flags and
// its INTERNALDATE. One per process, reached through restore_record(); it
// shares the session, and the one-job-at-a-time rule, with the export job.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/hold.h"
#include "job/job.h"
#include "platform/platform.h"

namespace kq {

// kq_restore_start's configuration as read.
struct restore_options {
  std::string dir;     // one archive folder's directory, no trailing separator
  // The target folder, UTF-8 or modified UTF-7. Empty at the start when
  // the host named none: the worker then puts the archive's own folder
  // name, after `prefix`, here before the target is opened.
  std::string folder;
  std::string prefix;  // UTF-8; only with no folder given
  bool create = true;  // CREATE the target when it is missing
  bool flags = true;   // restore the messages' flags
};

struct restore_request {
  restore_options opt;
  const char *problem = nullptr;
};

// Reads a non-empty configuration ("dir" required; "folder" or "prefix",
// not both).
restore_request read_restore_request(const char *config_json);

// One archived message to restore, as the manifest describes it.
struct restore_item {
  std::uint32_t uid = 0;
  std::string file;    // relative to the archive directory
  std::string sha256;  // as the manifest records it
  long long size = 0;
  std::string date;    // INTERNALDATE text, "" when unknown
  std::vector<std::string> flags;
};

// A message left on the archive's side, and why.
struct restore_failure {
  std::uint32_t uid = 0;
  std::string reason;
};

struct restore_job : job_core {
  restore_options opt;
  // Counted by the worker, read by the host's stats.
  std::atomic<std::uint64_t> restored{0};
  std::atomic<std::uint64_t> present{0};
  std::vector<restore_failure> failures KQ_GUARDED_BY(lock);
  // The target as a person reads it (UTF-8); empty until the worker knows it.
  std::string shown_folder KQ_GUARDED_BY(lock);
  archive_hold hold;
};

restore_job &restore_record();
bool restore_job_active();

// Starts the restore on a thread of its own: 0, or -1 with last_error.
int restore_start(const restore_request &req);

int restore_status();
double restore_progress();
const char *restore_stats_json();
const char *restore_current();
int restore_pause();
int restore_resume();
int restore_cancel();

// The messages of the archive's current UIDVALIDITY generation, ascending
// by UID, each with the flags of the last line that set them; with
// `folder`, also the folder name the latest of those lines records ("" when
// none does). False, with last_error set, when the manifest cannot be read.
bool restore_plan(const std::string &dir, std::vector<restore_item> &out, std::string *folder = nullptr);

// The target of a restore given a prefix rather than a folder: `prefix`
// (UTF-8) before `archived`, the folder name as the source server sent it.
// A modified UTF-7 name stays as it came, with the prefix encoded on its
// own before it, so the result goes on the wire unchanged; a name that is
// not modified UTF-7 was UTF-8 already and is simply joined.
std::string restore_target_name(std::string_view prefix, std::string_view archived);

// The worker: restores, then ends the job (state 2, 3 or 4) as its last act.
void restore_worker(restore_job &job);

// Test hook: when set, called after each message the run settles (restored,
// found present or failed), with the count settled so far.
void restore_set_settled_hook(void (*hook)(std::uint64_t settled));

// How a run paces its APPENDs; 0 keeps the default of each. For the
// restore benchmark, which compares settings in one run: not for the
// library's hosts.
struct restore_tuning {
  std::size_t batch_items = 0;    // messages read into one batch
  std::size_t batches_ahead = 0;  // batches whose APPENDs are out at once
  std::size_t multi_items = 0;    // messages one MULTIAPPEND carries
};
void restore_set_tuning(const restore_tuning &t);

}  // namespace kq
