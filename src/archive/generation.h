// UIDVALIDITY generations of one archive. A folder deleted and created again
// restarts its UIDs under a new UIDVALIDITY, so a UID names a message only
// together with it: the archive keeps every generation's messages, and a
// later generation's files carry the UIDVALIDITY in their names.
#pragma once

#include <cstdint>

#include "archive/manifest.h"

namespace kq {

struct archive_generation {
  // The folder's UIDVALIDITY as SELECT reported it (0: the server sent none).
  std::uint64_t uidvalidity = 0;
  // What resume.json recorded: the UIDVALIDITY its completed list belongs to
  // and the one whose messages carry the plain names (0: not recorded).
  std::uint64_t archived = 0;
  std::uint64_t base = 0;
};

// Compares the UIDVALIDITY that SELECT reported with the one the archive
// recorded. An archive that recorded none adopts the server's. True when
// they differ: the folder was created again, and the completed list stops
// counting (its UIDs were another folder's).
bool settle_generation(archive_generation &g, std::uint64_t server_uidvalidity);

// The UIDVALIDITY a new message file's name carries, 0 for the plain name.
std::uint64_t name_uidvalidity(const archive_generation &g);

// The generation a manifest line belongs to: its own UIDVALIDITY, else (a
// line written before it was recorded) the archive's first one, else the
// current one.
std::uint64_t line_generation(const archive_generation &g, const manifest_entry &e);

}  // namespace kq
