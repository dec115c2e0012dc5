// The attachment table of the fetched message and the save walk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message/mime.h"

namespace kq {

struct attachment_info {
  std::string name;   // attachment_name() of the part, at most 511 bytes
  std::string ctype;  // whole Content-Type value (at most 511 bytes), empty when absent
  long long size = 0; // body length before transfer decoding
};

inline constexpr std::size_t k_att_cap = 256;

// The one test both walks apply to a part that is not a container.
bool part_is_attachment(const mime_part &p);

// The message's attachment table, in document order; rows past 256 are
// dropped.
std::vector<attachment_info> list_attachments(const char *data, std::uint64_t len);

struct att_save_state {
  int wanted = 0;
  int seen = 0;
  int found = 0;
  std::unique_ptr<char[]> data;  // decoded bytes
  long long len = 0;             // decode_part result; -1 when decoding failed
  char name[512] = {};
};

// Finds attachment number wanted in document order and decodes it.
void att_save_walk(const char *data, std::uint64_t len, att_save_state *state);

// The name a part is listed under: its decoded file name, else the decoded
// name parameter of its Content-Type, else unnamed_part_name().
std::string attachment_name(const mime_part &p, int index);
// "attachment-<index>.<extension of the content type>" ("bin" for a type
// without a known extension, "txt" when there is no Content-Type).
std::string unnamed_part_name(int index, const char *ctype);

// The file name a saved attachment gets: only what follows the last '/' or
// '\', control characters and ':' made '_', "attachment" for "", "." and
// "..", a '_' before a Windows device name (con, nul, com1, lpt1.txt, ...),
// and at most 255 bytes, cut inside the stem on a character boundary so the
// extension stays.
std::string safe_file_name(std::string_view name);
// The k-th choice of name for a file that must not replace another:
// "name.ext", "name (2).ext", "name (3).ext", ..., still within 255 bytes.
std::string numbered_file_name(std::string_view safe_name, int k);

// The attachment table of the fetched message, row by row.
int attachment_count();
const char *attachment_field(int index, const char *key);
// Decodes row index into the existing dir under a name no file has yet.
int attachment_save(int index, const char *dir);
// The path the last attachment_save wrote: dir, '/', the name it chose. The
// empty text before the first save, after a save that failed and after a
// new message was fetched (a path saved from the old one no longer belongs
// to any row).
const char *attachment_saved_path();

}  // namespace kq
