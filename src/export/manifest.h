// manifest.jsonl: one JSON line per stored message, appended as the export
// goes and pruned to the resume state when a job starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "archive/manifest.h"
#include "export/job.h"
#include "search/search_table.h"

namespace kq {

// Formats the line of one stored message, line feed included. Text values
// are JSON strings; bytes that are not UTF-8 become \u00XX so every line
// parses.
void manifest_line(std::string &out, const char *folder, const std::string &file,
                   const char *sha256_hex, std::uint64_t size, const search_hit &hit,
                   std::uint64_t uidvalidity = 0);

// Appends one line to the job's manifest with a single write; the job lock
// is held. On failure the file is cut back to its old length and
// "cannot write %s" is set.
bool manifest_append(export_job *job, const std::string &line);

// Keeps every line of an earlier UIDVALIDITY generation and, of the current
// one, one line per UID of the completed list (the first of each, in file
// order) whose file is there with the line's size; drops every line that
// does not parse. A completed UID left without a line is taken off the
// list, so it is fetched again. Returns false, with the manifest and the
// list exactly as they were, when the new file cannot be written in full.
bool manifest_prune(export_job *job, std::size_t expected_uids);

}  // namespace kq
