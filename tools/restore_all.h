// restore-all's run over archive directories, shared with copy, whose
// second half it is.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"

namespace kqcli {

// How one restore-all run ended.
struct restore_all_pass {
  // One line per folder not fully restored: the folder and why.
  std::vector<std::string> errors;
  bool cancelled = false;  // a stop request ended it (and said so on stderr)
};

// In a session that is up: each archive directory into the folder its
// manifest names, with --prefix before it (the library joins them, so the
// name keeps its letters), each message once (the directory's restore.jsonl
// remembers what went up), a line and an event per folder naming the target
// in UTF-8. Stops at the first stop request.
restore_all_pass run_restore_all(const args &a, const std::vector<std::filesystem::path> &dirs,
                                 progress_view &view);

}  // namespace kqcli
