// The batch export of many folders: its configuration, and its one
// process-wide run record, reached through the_batch(). Each folder is
// exported by an export job (src/export/) driven through typed calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/hold.h"
#include "archive/layout.h"
#include "export/export_job.h"
#include "platform/platform.h"

namespace kq {

inline constexpr int k_batch_slots = 512;  // at most k_batch_slots - 1 folders
inline constexpr std::size_t k_folder_cap = 1024;  // folder names, as the server sends them
// The most connections one batch opens ("connections" above this is taken
// as this many): each is a login of the user's, and servers limit those.
inline constexpr int k_batch_max_connections = 8;

enum : std::int32_t {
  k_batch_none = 0,
  k_batch_running = 1,
  k_batch_finished = 2,
  k_batch_failed = 4,
};

// kq_export_all_folders's configuration as read: the options every
// folder's export job gets (dir: the batch directory, each job's is its
// subdirectory), the folders named, or why it is unusable.
struct batch_request {
  bool empty = false;               // no configuration text at all
  const char *problem = nullptr;    // no JSON, or a "dir" too long
  export_options opt;               // flags read as the export job reads them
  bool folders_named = false;       // a non-empty "folders" array was given
  std::vector<std::string> folders; // its texts, as given
  std::string since;                // "YYYY-MM-DD" of "since", checked; "" without one
  int connections = 1;              // 1 to k_batch_max_connections
};

// Reads the configuration; never fails, the request says what is wrong.
batch_request read_batch_request(const char *config_json);

struct batch_state {
  // Read by the host while the batch thread writes them.
  std::atomic<std::int32_t> state{0};
  // Set by a cancel; the batch thread stops at its next step.
  std::atomic<std::uint32_t> cancel_requested{0};
  // 1 from the start until the batch thread's very last act.
  std::atomic<std::uint32_t> active{0};
  // What each folder's job gets; its dir is the batch directory.
  export_options opt;
  // "YYYY-MM-DD": each folder's search keeps the messages received on or
  // after that day; "" for every message.
  std::string since;
  // The batch directory, held for the whole run.
  archive_hold hold;
  char folders[k_batch_slots][k_folder_cap];
  std::int32_t folder_count;
  // The names came from the server's listing rather than the configuration.
  std::int32_t listed_by_server;
  std::atomic<std::int32_t> folder_idx{0};
  std::atomic<std::int64_t> done_folders{0};
  // Connections asked for (1 to k_batch_max_connections); only a learned
  // run (resume and manifest on, no "since") uses more than one.
  std::int32_t connections = 1;
  // Connections logged in and used by the run: the first (the library's
  // session) and every further one whose login the server took.
  std::atomic<std::int32_t> connections_used{0};
  // A pause of the whole run, asked while it has more than one connection:
  // the other connections start no folder meanwhile.
  std::atomic<std::uint32_t> pause_requested{0};
  // The job records of the connections beyond the first (whose job is
  // export_record()), for cancel and pause to reach; null when none.
  plat::exclusive_lock lane_lock;
  export_job *lane_jobs[k_batch_max_connections] KQ_GUARDED_BY(lane_lock) = {};
  // The texts change while the host reads them; everything else the host
  // reads is a single atomic field or is fixed for the run.
  plat::exclusive_lock text_lock;
  char current[1024] KQ_GUARDED_BY(text_lock);
  char error_text[512] KQ_GUARDED_BY(text_lock);
  // Folders the server's LIST flags \Noselect or \NonExistent: they hold
  // no messages and are skipped without a search.
  bool noselect[k_batch_slots];
  // What happened to each folder (k_folder_*), read by the host.
  std::atomic<std::int32_t> folder_state[k_batch_slots];
  // Why a folder in k_folder_error failed, or why the server would not let
  // a k_folder_unreadable one be read (its own text).
  char folder_errors[k_batch_slots][256] KQ_GUARDED_BY(text_lock);
  // Subdirectory of each folder: its sanitized name, made unique in the run
  // so two folders never share (and overwrite) one archive.
  char subdirs[k_batch_slots][k_subdir_cap];
};

enum : std::int32_t {
  k_folder_pending = 0,
  k_folder_running = 1,
  k_folder_done = 2,
  k_folder_error = 3,
  // Listed by the server, which then refused to open it (no right to read
  // it, for one): passed over, the run still ends complete.
  k_folder_unreadable = 4,
};

// The process's one batch record, built on first use and never destroyed:
// a detached batch thread may still be running while the process exits.
batch_state &the_batch();

// True while the batch thread runs.
bool batch_active();
// Asks a running batch to stop (the jobs of its connections beyond the
// first are cancelled too; the first's is export_record()); false when no
// batch runs.
bool batch_cancel();
// Pauses (resumes) the jobs of a running batch's connections beyond the
// first, and holds those connections from starting another folder until
// resumed; true when any such connection exists.
bool batch_pause();
bool batch_resume();
// Publishes (null: withdraws) the job record of connection `lane` (1 on).
void batch_register_lane(int lane, export_job *job);

// Zeroes every field (the status then reports no batch).
void batch_clear();
// Copies the text fields guarded by the lock.
void batch_read_texts(char current[1024], char error_text[512]);
void batch_set_current(const char *text);
void batch_set_error(const char *text);
// Marks folder i failed with its reason; the batch goes on with the others.
void batch_set_folder_error(int i, const char *text);
// Marks folder i unreadable with the server's text.
void batch_set_folder_unreadable(int i, const char *text);

// Copies a folder name cut to at most k_folder_cap - 1 bytes, never inside a UTF-8
// sequence (a split character would make the JSON built from it invalid).
void batch_copy_name(char out[k_folder_cap], const char *name, std::size_t len);

// Fills subdirs from folders by the archive layout's rule, a name an
// earlier folder took counting as taken without regard to letter case (as
// on case-insensitive file systems).
void batch_assign_subdirs();

// Thread body of a batch; its argument is &the_batch().
void batch_worker(void *batch);

// Takes the configuration, lists the folders when none are named, and
// starts the batch thread: 0, or -1 with last_error set.
int batch_start(const batch_request &req);
// The batch's status JSON, folder by folder.
const char *batch_status_json();

}  // namespace kq
