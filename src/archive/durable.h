// Ordering of the archive's writes against a power loss: resume.json may
// only name messages whose file and manifest line are on stable storage.
#pragma once

#include <string>

#include "export/job.h"

namespace kq {

// Notes a message file (and the directory holding it) written since the
// last sync; worker thread only.
void note_unsynced(export_job *job, const std::string &file, const std::string &parent);

// Flushes to stable storage, as one group, every file noted since the last
// call, the manifest, all.mbox and the directories their entries live in.
// False when any of them could not be flushed; the notes are kept then.
bool sync_stored(export_job *job);

// Syncing is on unless switched off here: the export benchmark measures
// its cost this way. Not for the library's hosts.
void set_durable_writes(bool on);
bool durable_writes();

}  // namespace kq
