// Verification and statistics of an archive on disk, and what they leave
// behind for the host: one owner per process (archive_outputs()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kq {

struct verify_report {
  std::int64_t ok = 0;
  std::int64_t missing = 0;
  std::int64_t corrupt = 0;
  std::int64_t total = 0;
  char *files_text = nullptr;  // failure entries as JSON objects, comma-joined
  std::uint64_t files_len = 0;
  std::uint64_t files_cap = 0;
  // What the manifest fails to say: lines that are neither blank nor
  // entries, entries for a message an earlier line already listed (checked
  // once; see manifest_entry_id), and UIDs resume.json lists without any
  // entry.
  std::int64_t unreadable = 0;
  std::int64_t duplicates = 0;
  std::int64_t unlisted = 0;
  enum resume_state { resume_absent, resume_read, resume_unreadable } resume = resume_absent;
  // The first k_verify_list of each, for the report.
  std::vector<std::uint64_t> bad_lines;
  std::vector<std::uint32_t> duplicate_uids;
  std::vector<std::uint32_t> unlisted_uids;
};

inline constexpr std::size_t k_verify_list = 100;

inline constexpr std::size_t k_report_cap = 2097152;  // the report text
inline constexpr std::size_t k_stats_cap = 2048;      // the statistics text

// What the last verification and the last statistics left behind.
struct archive_results {
  verify_report verify;
  char verify_json[k_report_cap];
  char stats_json[k_stats_cap];
  archive_results() = default;
  archive_results(const archive_results &) = delete;
  archive_results &operator=(const archive_results &) = delete;
  // Releases the failure list when the process ends.
  ~archive_results();
};

archive_results &archive_outputs();

// Zeroes the counters of the last verification and releases its failure list.
void verify_reset();
// printf-style append of one failure entry to files_text; the entry is
// dropped when memory runs short (the counters are kept by the caller).
void verify_add(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Largest prefix of the failure list, at most room bytes, that ends at an
// entry boundary; the report stays valid JSON when it must be cut.
std::size_t verify_files_fit(std::size_t room);

// Re-hashes every file the manifest of dir lists into the report: 0, or -1
// with last_error set.
int verify_dir(const char *dir);
// The report of the last verification.
const char *verify_report_json();
// The summary of an archive from its manifest; "" on failure.
const char *archive_stats(const char *dir);

}  // namespace kq
