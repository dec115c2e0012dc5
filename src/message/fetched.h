// The one fetched message: raw bytes, header text, body text and attachment
// table, made whole before it replaces the one before. Written only by
// kq_fetch; read by the fetch and attachment calls (host calls, one at a
// time under the host lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "message/attachments.h"

namespace kq {

inline constexpr std::size_t k_fetch_hdr_cap = 262144;
inline constexpr std::size_t k_body_text_cap = 1048576;
inline constexpr std::size_t k_text_work_cap = 1048576;  // decode and strip buffers

struct fetched_message {
  std::string raw;        // the message as received
  std::string header;     // its header block, cut to k_fetch_hdr_cap - 1 bytes
  std::string body_text;  // the readable body text, below k_body_text_cap bytes
  std::vector<attachment_info> atts;
};

// Reads raw's header, body text and attachment table into a message; null
// when memory runs short.
std::unique_ptr<fetched_message> read_fetched(std::string raw);
// Everything the message subsystem keeps between calls, in one owner: the
// message kq_fetch left and the path of the last attachment saved from it.
// Only host calls reach it, one at a time under the host lock (see
// src/api/guard.h), so it needs no lock of its own.
class message_state {
 public:
  static message_state &instance();

  const fetched_message *fetched() const { return fetched_.get(); }
  // Makes m the fetched message; a path saved from the one before goes.
  void keep(std::unique_ptr<fetched_message> m) {
    fetched_ = std::move(m);
    saved_path_.clear();
  }
  const std::string &saved_path() const { return saved_path_; }
  void set_saved_path(std::string path) { saved_path_ = std::move(path); }
  void forget_saved_path() { saved_path_.clear(); }

 private:
  message_state() = default;
  std::unique_ptr<fetched_message> fetched_;
  std::string saved_path_;
};

// The fetched message; null before the first fetch.
inline const fetched_message *fetched_now() { return message_state::instance().fetched(); }
// Makes m the fetched message.
inline void keep_fetched(std::unique_ptr<fetched_message> m) { message_state::instance().keep(std::move(m)); }

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
