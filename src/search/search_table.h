// The result of the last search: one row per message found, its texts kept
// in one arena (memory grows with what was found, a few allocations per
// thousand rows). A result never changes once it is made current, so the
// export job shares it instead of copying it, and a later search simply
// makes another one current.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/text_arena.h"
#include "platform/platform.h"
#include "platform/thread_annotations.h"

namespace kq {

// One row. The texts belong to the result (or the draft) the row came from.
struct search_hit {
  std::uint32_t uid = 0;
  int has_attachments = -1;  // 1, 0, or -1 when not determined
  long long bytes = 0;       // RFC822.SIZE as reported
  long long ts = -1;         // INTERNALDATE as UTC seconds, -1 when unreadable
  const char *date = "";     // INTERNALDATE text as received
  const char *from = "";
  const char *to = "";
  const char *subject = "";
};

// A row while the search reads it, holding its own texts.
struct row_draft {
  std::uint32_t uid = 0;
  int has_attachments = -1;
  long long bytes = 0;
  long long ts = -1;
  std::string date, from, to, subject;

  // The row's view; good while the draft lives unchanged.
  search_hit view() const;
};

class search_result {
 public:
  explicit search_result(std::string folder) : folder_(std::move(folder)) {}
  search_result(const search_result &) = delete;
  search_result &operator=(const search_result &) = delete;

  // Appends a row, its texts copied into the result.
  void add(const search_hit &h);
  void add(const row_draft &d) { add(d.view()); }
  // Rows in UID order, each UID once, at most cap of them.
  void settle(std::size_t cap);

  const std::string &folder() const { return folder_; }
  std::size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  const search_hit &operator[](std::size_t i) const { return rows_[i]; }
  const std::vector<search_hit> &rows() const { return rows_; }

 private:
  std::string folder_;
  std::vector<search_hit> rows_;
  text_arena texts_;
};

using search_result_ptr = std::shared_ptr<const search_result>;

inline constexpr int k_search_cap = 200000;

// Everything the search subsystem keeps between calls, in one owner: the
// current result, the row cap, and the run's progress and cancel request.
// The host thread runs a search (or the batch thread, while the host's
// server calls are refused); other threads read the result, the progress
// and ask to cancel, hence the lock and the atomics.
class search_state {
 public:
  static search_state &instance();

  // The current result (an empty one before any search).
  search_result_ptr result() KQ_EXCLUDES(result_lock_);
  // Makes r the current result; returns the one before, for the caller to
  // let go of outside the lock.
  search_result_ptr swap_result(search_result_ptr r) KQ_EXCLUDES(result_lock_);

  // The most rows a search keeps (a test may lower it).
  int cap = k_search_cap;
  // While a search runs: the share of the UID range covered, in
  // millionths, and a request to stop.
  std::atomic<std::uint32_t> progress_ppm{0};
  std::atomic<bool> cancel{false};
  std::atomic<bool> running{false};

 private:
  search_state() = default;
  // The pointer alone is guarded: the batch thread installs a folder's
  // result while a host thread may read the one before.
  plat::exclusive_lock result_lock_;
  search_result_ptr result_ KQ_GUARDED_BY(result_lock_);
};

// The current result (an empty one before any search); safe from any thread.
search_result_ptr current_result();
// Makes r the current result; a job still holding the one before keeps it.
void install_result(search_result_ptr r);
// Makes an empty result for folder current.
void clear_result(std::string folder);

// Number of rows, and one field of a row as text ("" for a bad row or key).
int search_count();
const char *search_field(int index, const char *key);

}  // namespace kq
