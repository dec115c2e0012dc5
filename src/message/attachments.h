// The attachment table of the fetched message and the save walk.
#pragma once

#include <cstdint>
#include <memory>

#include "message/mime.h"

namespace kq {

struct attachment_info {
  char name[256];   // filename parameter as in the message, or "attachment"
  char ctype[256];  // whole Content-Type value, empty when absent
  long long size;   // body length before transfer decoding
};

inline constexpr int k_att_cap = 256;
extern attachment_info s_att[k_att_cap];
extern int s_att_count;

// The one test both walks apply to a part that is not a container.
bool part_is_attachment(const mime_part &p);

// Fills s_att from the message (s_att_count must be 0); rows past 256 are
// dropped.
void collect_atts(const char *data, std::uint64_t len);

struct att_save_state {
  int wanted = 0;
  int seen = 0;
  int found = 0;
  std::unique_ptr<char[]> data;  // decoded bytes
  long long len = 0;             // decode_part result; -1 when decoding failed
  char name[256] = {};
};

// Finds attachment number wanted in document order and decodes it.
void att_save_walk(const char *data, std::uint64_t len, att_save_state *state);

// The file name a saved attachment gets: only what follows the last '/' or
// '\', control characters and ':' made '_', "attachment" for "", "." and "..".
void safe_file_name(const char *name, char *out, std::size_t cap);

}  // namespace kq
