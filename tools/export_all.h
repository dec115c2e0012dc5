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

}  // namespace kqcli
