// The process-wide result table of the last search.
#pragma once

#include <cstdint>

namespace kq {

struct search_hit {
  std::uint32_t uid;
  long long bytes;        // RFC822.SIZE as reported
  char date[64];          // INTERNALDATE text as received
  long long ts;           // INTERNALDATE as UTC seconds, -1 when unreadable
  char from[512];
  char to[512];
  char subject[1024];
  int has_attachments;    // 1, 0, or -1 when not determined
};

inline constexpr int k_search_cap = 200000;

extern search_hit *s_search;     // allocated once on the first search, never freed
extern int s_search_cap;
extern int s_search_count;
extern char s_search_folder[128];

// Allocates the table on first use; false when memory is short.
bool search_table_alloc();

}  // namespace kq
