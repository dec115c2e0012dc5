// The one fetched message: raw bytes, header text, body text. Written only by
// kq_fetch; read by the fetch and attachment calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kq {

inline constexpr std::size_t k_fetch_hdr_cap = 262144;
inline constexpr std::size_t k_body_text_cap = 1048576;
inline constexpr std::size_t k_text_work_cap = 1048576;  // decode and strip buffers

extern std::unique_ptr<char[]> s_fetch_buf;  // raw message + NUL, or none
extern std::uint64_t s_fetch_len;
extern char s_fetch_hdr[k_fetch_hdr_cap];
extern char s_body_text[k_body_text_cap];

// Heap working buffers of the body text choice (too big for a thread stack).
struct text_work {
  std::unique_ptr<char[]> decoded;  // k_text_work_cap bytes
  std::unique_ptr<char[]> stripped; // k_text_work_cap bytes
  bool alloc();
};

// Chooses the readable body text of the message at data and writes it to
// out[cap]: the first textual part depth-first (HTML stripped), or a
// placeholder naming the type of a single non-textual part.
void choose_body_text(const char *data, std::uint64_t len, text_work &work, char *out,
                      std::size_t cap);

// Downloads the message of search row index into the fetched message: 0, or
// -1 with last_error set.
int fetch_message(int index);
// The same for the message with this UID in folder; the search result is
// neither read nor changed.
int fetch_uid(const char *folder, std::uint32_t uid);
const char *fetch_header();
const char *fetch_body_text();
// Writes the fetched message byte for byte to path.
int fetch_save(const char *path);

}  // namespace kq
