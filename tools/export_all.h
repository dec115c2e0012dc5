// export-all's pieces: what became of each folder, which folders the
// options choose, the batch that exports them and the dry run that only
// counts.
#pragma once

#include <string>
#include <vector>

#include "cli.h"
#include "folder_list.h"
#include "json.h"
#include "progress.h"

namespace kqcli {

// What became of one folder of the run.
struct folder_result {
  folder_info folder;
  std::string dir;   // its archive ("" until known)
  std::string word;  // "pending", "running", "done", "error", "unreadable"
  std::string reason;
  long long before = 0;  // messages its archive held before the run
  long long messages = 0, bytes = 0, fresh = 0;
  bool started = false, closed = false;
  bool named = false;  // given with --folder: a folder it cannot open is an error
};

// A folder's name as the user reads it, for messages and tables.
std::string shown(const folder_info &f);
// Messages an archive directory's manifest lists; 0 without one.
long long archived(const std::string &dir);

// The folders --folder, --include and --exclude choose, in listing order
// (INBOX first); every folder when none of them is given. A --folder the
// server does not list is kept, after the others, for the run to report.
std::vector<folder_info> chosen_folders(const args &a, const folder_listing &list);

// The folder's name and, once known, its archive directory in an event.
json_object &folder_fields(json_object &ev, const folder_result &r);

// Follows the library's batch over the chosen folders. Returns the batch's
// final state; status holds its last status text.
int follow_batch(const args &a, const std::string &dir, std::vector<folder_result> &results, progress_view &view,
                 jvalue &status, bool &cancelling);

// --dry-run: what a run would do, folder by folder; nothing is written.
int dry_run(const args &a, const std::string &dir, std::vector<folder_result> &results);

// usage_error for export-all options that do not go together or are malformed.
void check_export_all_options(const args &a);

// How one export-all run over the chosen folders ended.
struct export_all_pass {
  std::vector<folder_result> results;  // one per chosen folder, in order
  bool cancelled = false;              // a stop request ended it early
  int dry_run_status = -1;             // with --dry-run: its exit status
  // What failed and why, naming the folders; "" when every folder was
  // exported or passed over as unreadable. advice: what the user can do.
  std::string failed, advice;
  long long messages = 0, bytes = 0, added = 0, done = 0, unreadable = 0;
  double seconds = 0;
};
// export-all in a session that is up: chooses the folders, runs the batch
// into dir with its progress and, unless cancelled, prints the closing table
// and logs the totals.
export_all_pass run_export_all(const args &a, const std::string &dir, progress_view &view);
// The human closing lines: what was archived, what was new, what was passed over.
void print_export_summary(const args &a, const std::string &dir, const export_all_pass &p);

}  // namespace kqcli
