// The process-wide report of the last archive verification.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kq {

struct verify_report {
  std::int64_t ok = 0;
  std::int64_t missing = 0;
  std::int64_t corrupt = 0;
  std::int64_t total = 0;
  char *files_text = nullptr;  // failure entries as JSON objects, comma-joined
  std::uint64_t files_len = 0;
  std::uint64_t files_cap = 0;
};

extern verify_report s_verify;

// Zeroes the counters and releases the failure list.
void verify_reset();
// printf-style append of one failure entry to files_text; the entry is
// dropped when memory runs short (the counters are kept by the caller).
void verify_add(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Largest prefix of the failure list, at most room bytes, that ends at an
// entry boundary; the report stays valid JSON when it must be cut.
std::size_t verify_files_fit(std::size_t room);

}  // namespace kq
