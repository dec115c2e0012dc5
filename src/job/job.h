// The one export job: its settings, counters, lock, reader and the list of
// UIDs the archive holds.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

// Job states as kq_export_status reports them.
enum : std::int32_t {
  k_job_idle = 0,
  k_job_running = 1,
  k_job_done = 2,
  k_job_stopped = 3,  // paused (active) or cancelled (not active)
  k_job_error = 4,
};

inline constexpr std::size_t k_path_cap = 4352;  // full path of a message file

struct export_job {
  // Fields read by one thread while another writes them are atomics or
  // guarded by `lock`; the rest belong to the worker while `active` is 1.
  std::atomic<std::uint32_t> active{0};
  std::atomic<std::int32_t> state{0};
  std::atomic<std::uint32_t> cancel_requested{0};
  std::atomic<std::uint32_t> pause_requested{0};
  // Guards the fields marked below, the manifest and resume.json, and the
  // state changes made by the steering calls.
  plat::exclusive_lock lock;
  char dir[4096] = {};
  char folder[1024] = {};
  std::uint32_t mbox = 0;
  char naming[256] = {};
  std::uint32_t resume = 0;
  std::uint32_t manifest = 0;
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  std::atomic<long long> bytes{0};
  // Server-reported bytes of the rows counted into `total`; the estimate of
  // what is left is this minus `bytes`.
  long long bytes_todo KQ_GUARDED_BY(lock) = 0;
  long long tick_ms = 0;
  long long bytes_at_tick = 0;
  std::atomic<long long> speed_bps{0};
  long long last_uid = 0;
  char current[1024] KQ_GUARDED_BY(lock) = {};
  // Why the job ended in error: the worker's own last_error, which no other
  // thread can read, handed to the host through the stats.
  char error[512] KQ_GUARDED_BY(lock) = {};
  // The search result the job exports, shared with the host's side: a
  // result never changes once made, and a later search makes another one
  // current, so nothing the host does afterwards reaches a running job.
  search_result_ptr result;
  // The job finds its own rows: it learns the folder's UIDs and fetches
  // rows only for those the archive lacks (the batch's runs; `result` then
  // holds one part at a time).
  bool learn_uids = false;
  // Messages the server confirmed gone (a fresh search no longer listed
  // them) when their turn came.
  std::atomic<std::uint64_t> vanished{0};
  // Commands asked again (a partial or refused answer) and connections made
  // again during the run.
  std::atomic<std::uint64_t> retries{0};
  std::atomic<std::uint64_t> reconnects{0};
  // UIDs neither stored nor confirmed gone, ascending: a run that leaves
  // any ends failed and names them.
  std::vector<std::uint32_t> unfetched;
  // The completed list as the job started: all.mbox holds these already, so
  // a message fetched again (its file damaged) is not appended twice.
  std::vector<std::uint32_t> in_mbox;
  plat::append_file mbox_file;
  // Length of all.mbox that holds exactly the messages of `completed`, as
  // loaded from resume.json (-1 unknown); bytes past it are re-exported.
  long long mbox_bytes = -1;
  plat::append_file manifest_file;
  std::string made_dir;  // the message directory created last
  // The folder's UIDVALIDITY as SELECT reported it (0: the server sent none).
  std::uint64_t uidvalidity = 0;
  // What resume.json recorded: the UIDVALIDITY its completed list belongs to
  // and the one whose messages carry the plain names (0: not recorded).
  std::uint64_t archived_uidvalidity = 0;
  std::uint64_t base_uidvalidity = 0;
  // The folder was deleted and created again since the archive was written:
  // its UIDs name other messages now.
  std::atomic<std::uint32_t> recreated{0};
  // The manifest was read in full when the job started: a file it does not
  // list is no archived message.
  bool names_indexed = false;
  // Message files and directories written since resume.json was last
  // written; they reach stable storage before it names them.
  std::vector<std::string> unsynced_files;
  std::vector<std::string> unsynced_dirs;
  // Ascending, without repeats, so resume_has can bisect.
  std::vector<std::uint32_t> completed;
};

extern export_job &s_job;  // valid once job_init has run
extern int s_job_inited;

// First-use initialisation shared by every export call.
void job_init();
// True while the export job's worker has not yet let go of the job (for the
// batch export, which waits for it).
bool export_job_active();
// Clears settings, counters and lists for a new job (the lock stays as is:
// a worker that just ended may still be leaving it).
void job_reset(export_job *job) KQ_REQUIRES(job->lock);

}  // namespace kq
