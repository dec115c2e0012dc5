// The result of the last search: one row per message found, each holding
// only what it found (memory grows with the rows, not with a fixed table).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kq {

struct search_hit {
  std::uint32_t uid = 0;
  long long bytes = 0;      // RFC822.SIZE as reported
  std::string date;         // INTERNALDATE text as received
  long long ts = -1;        // INTERNALDATE as UTC seconds, -1 when unreadable
  std::string from;
  std::string to;
  std::string subject;
  int has_attachments = -1; // 1, 0, or -1 when not determined
};

inline constexpr int k_search_cap = 200000;

// Rows [0, s_search_count) are the result; the vector may hold more.
extern std::vector<search_hit> s_search;
extern int s_search_cap;
extern int s_search_count;
extern std::string s_search_folder;

// Empties the result; true (kept for the callers that reserved a table).
bool search_table_alloc();

// Number of rows, and one field of a row as text ("" for a bad row or key).
int search_count();
const char *search_field(int index, const char *key);

}  // namespace kq
