// Ordering of the archive's writes against a power loss: resume.json may
// only name messages whose file and manifest line are on stable storage.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace kq {

// Message files and directories written since resume.json was last
// written; they reach stable storage before it names them. The writing
// thread's alone.
struct unsynced_writes {
  std::vector<std::string> files;
  std::vector<std::string> dirs;
  void clear() {
    files.clear();
    dirs.clear();
  }
};

// Notes a message file (and the directory holding it) written since the
// last sync.
void note_unsynced(unsynced_writes &w, const std::string &file, const std::string &parent);

// Flushes to stable storage, as one group, every file noted since the last
// call, the manifest and all.mbox (either may be closed), and the
// directories their entries live in, the archive directory `dir` among
// them. False when any of them could not be flushed; the notes are kept then.
bool sync_stored(unsynced_writes &w, const char *dir, plat::append_file &mbox,
                 plat::append_file &manifest);

// Syncing is on unless switched off here: the export benchmark measures
// its cost this way. Not for the library's hosts.
void set_durable_writes(bool on);
bool durable_writes();

}  // namespace kq
