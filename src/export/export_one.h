// Storing one search hit in the archive.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "export/export_job.h"
#include "export/spool.h"
#include "search/search_table.h"

namespace kq {

// SHA-256 of data as 64 lowercase hexadecimal digits.
std::string sha256_hex(const void *data, std::size_t len);

// Formats the manifest line of one stored search hit, line feed included
// (manifest_format_line with the hit's fields).
void manifest_line(std::string &out, const char *folder, const std::string &file,
                   const char *sha256_hex, std::uint64_t size, const search_hit &hit,
                   std::uint64_t uidvalidity = 0, const std::vector<std::string> *flags = nullptr,
                   const std::vector<std::string> *labels = nullptr);

// Stores one fetched message as one unit: the .eml file, the all.mbox
// record, the manifest line and the completed list, all or (as far as the
// files allow) nothing. flags: the message's IMAP flags as fetched, recorded
// in the manifest line (null: none came); labels likewise its Gmail
// labels. 0 stored, -1 not (reason in last_error). path (k_path_cap
// bytes) receives the message file's full path. Worker thread only, job
// lock not held.
int store_message(export_job &job, const search_hit &hit, const char *data, std::size_t len,
                  char *path, const std::vector<std::string> *flags = nullptr,
                  const std::vector<std::string> *labels = nullptr);

// The same for a body spooled to disk as it arrived (finished): the spool
// file becomes the message file, its digest and size go in the manifest
// line, and the all.mbox record is made from the stored file.
int store_spooled_message(export_job &job, const search_hit &hit, body_spool &spool, char *path,
                          const std::vector<std::string> *flags = nullptr,
                          const std::vector<std::string> *labels = nullptr);

}  // namespace kq
