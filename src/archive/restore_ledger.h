// restore.jsonl, kept in an archive folder's directory: one line per message
// a restore put on a server, so a later restore of the same directory to
// the same server and folder sends nothing twice. Written and read only
// here, like every other file of the archive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kq {

inline constexpr const char *k_restore_ledger_name = "restore.jsonl";

// What one line records.
struct restore_ledger_line {
  std::string sha256;       // of the message's bytes, 64 lower-case hex digits
  std::uint32_t uid = 0;    // the message's UID in the archive's manifest
  std::string server;       // "host:port/user"
  std::string folder;       // the target folder as the host named it
  // From APPENDUID; 0 when the server did not say (no UIDPLUS).
  std::uint64_t uidvalidity = 0;
  std::uint32_t server_uid = 0;
};

// Appends one line (line feed included) to out.
void restore_ledger_format(std::string &out, const restore_ledger_line &l);

// Every readable line of dir's ledger, in file order; torn or edited lines
// are skipped. An absent file gives none.
std::vector<restore_ledger_line> restore_ledger_load(const char *dir);

// Appends lines to dir's ledger through f (opened on first use) with one
// write; a torn last line left by a crash is ended first. On failure the
// file is cut back to its old length and "cannot write <path>" is set.
bool restore_ledger_append(plat::append_file &f, const char *dir, const std::string &lines);

}  // namespace kq
