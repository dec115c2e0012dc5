// A file helper shared by the archive writers of line-based files.
#pragma once

#include <string>

#include "platform/platform.h"

namespace kq {

// True when a non-empty file does not end with a line feed: its last line
// was torn (a crash), and anything appended would be glued onto it.
inline bool ends_inside_line(const char *path) {
  long long size = plat::file_size(path);
  char last = '\n';
  return size > 0 && plat::read_at(path, size - 1, &last, 1) == 1 && last != '\n';
}

// A message body being received is spooled to disk under one of a few
// fixed names, in the archive directory (in its tmp/ for a Maildir); a run
// killed mid-body leaves one behind. ".incoming-N.part", N below
// k_incoming_names.
inline constexpr unsigned k_incoming_names = 4;
std::string incoming_name(unsigned n);

// Removes what a run killed mid-write leaves in the archive directory dir:
// the spool files, and the temporary files resume.json and the manifest are
// written through before they replace the old ones. Only for a holder of
// dir (archive_hold), so no live run owns them.
void remove_leftover_temps(const std::string &dir);

// Appends whole lines (text ends with a line feed) to the file at path
// through f, opened on first use; a torn last line left by a crash is ended
// first so the new lines stand on their own. On failure the file is cut
// back to its old length and "cannot write %s: %s" is set.
bool append_lines(plat::append_file &f, const std::string &path, const std::string &text);

}  // namespace kq
