// resume.json: which UIDs an archive directory already holds, so a later
// export of the same folder into it can skip them. Written by the exporter
// (resume_write.cpp) and read back here by the exporter and the
// verification, which checks the manifest against it and so reads it with
// the same care as the manifest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kq {

inline constexpr const char *k_resume_name = "resume.json";
// Larger files are not read: the exporter never writes one this big.
inline constexpr long long k_resume_file_max = 67108864;
// Most UIDs a resume file lists; keeps the file below the size a reader
// accepts, so no stored message drops out of the list.
inline constexpr std::size_t k_resume_max_uids = 5000000;

struct resume_data {
  bool has_folder = false;
  std::string folder;
  // The folder's UIDVALIDITY the completed list belongs to; 0 when the
  // file predates its recording.
  std::uint64_t uidvalidity = 0;
  // The UIDVALIDITY whose messages carry the plain "uid-N.eml" names (the
  // first one the archive saw); later ones carry it in their names.
  std::uint64_t base_uidvalidity = 0;
  std::uint32_t last_uid = 0;
  std::vector<std::uint32_t> completed;  // ascending, without repeats
  long long mbox_bytes = -1;             // -1: not recorded
  // The folder's HIGHESTMODSEQ (RFC 7162) as of which the flags the
  // manifest records for the completed UIDs were current; 0 when not
  // recorded (older files, servers without CONDSTORE).
  std::uint64_t highestmodseq = 0;

  friend bool operator==(const resume_data &, const resume_data &) = default;
};

// The generation of manifest lines without a UIDVALIDITY: the archive's
// first one. A file that records no base predates renumbered folders, so its
// one UIDVALIDITY is the first. 0 when the file records neither.
inline std::uint64_t resume_base_generation(const resume_data &r) {
  return r.base_uidvalidity ? r.base_uidvalidity : r.uidvalidity;
}

// A JSON number as the low 32 bits of its truncated value; others give 0.
std::uint32_t resume_uid_value(const void *yyjson_value);

// Parses the text of a resume file. False when it is not a JSON object;
// a missing or malformed "completed" leaves the list empty. May throw
// std::bad_alloc.
bool resume_parse(std::string_view text, resume_data &out);

// What the writer records.
struct resume_record {
  std::string_view folder;
  // Both written only when uidvalidity is not 0.
  std::uint64_t uidvalidity = 0;
  std::uint64_t base_uidvalidity = 0;
  std::uint32_t last_uid = 0;
  long long done = 0;
  long long total = 0;
  const std::vector<std::uint32_t> *completed = nullptr;  // ascending; null: none
  // The length of all.mbox that holds exactly the listed messages; -1
  // writes no key.
  long long mbox_bytes = -1;
  // See resume_data; written only with a uidvalidity, 0 writes no key.
  std::uint64_t highestmodseq = 0;
};

// The file's text; may throw std::bad_alloc.
std::string resume_format(const resume_record &r);
// What a reader takes back from the file resume_format(r) writes; may throw
// std::bad_alloc.
resume_data resume_as_read(const resume_record &r);
// True when the file written from r would read back as d: a file that
// already says d need not be written again. Anything the two could differ
// in counts as a difference; "done" and "total", which no reader takes,
// count for nothing.
bool resume_reads_as(const resume_record &r, const resume_data &d);
// Writes "<dir>/resume.json" through a temporary file and a rename (synced
// when `durable`): false, the old file kept, when it cannot be written.
bool resume_save(const char *dir, const resume_record &r, bool durable);

enum class resume_load_result { absent, loaded, unreadable };
// Reads and parses "<dir>/resume.json" (a regular file reached without
// links, at most k_resume_file_max bytes).
resume_load_result resume_load(const char *dir, resume_data &out);

}  // namespace kq
