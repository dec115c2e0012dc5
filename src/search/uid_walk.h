// Finds which UIDs of a range exist, a window at a time, so that the search
// sends its per-message fetch only for messages that are there.
#pragma once

#include <vector>

#include "connection/imap.h"

namespace kq {

class uid_walk {
 public:
  // count: the message count the selection reported. Installs a record
  // observer on r for the walk's lifetime.
  uid_walk(reader &r, long long count, long long start, long long end);
  ~uid_walk();
  uid_walk(const uid_walk &) = delete;
  uid_walk &operator=(const uid_walk &) = delete;

  // The next non-empty batch of existing UIDs (ascending, at most 1000);
  // false when the range is done or a command failed (see failed()).
  bool next(std::vector<long long> &uids);
  bool failed() const { return failed_; }

 private:
  static void on_record(void *self, const char *line, const char *lit, long long lit_len);
  bool uid_of_seq(long long seq, long long &uid);
  bool next_uid_from(long long a, long long &uid);

  reader &r_;
  long long count_;
  long long a_;
  long long end_;
  bool failed_ = false;
  // First sequence number whose UID is not below a_, once known.
  bool seq_known_ = false;
  long long seq_next_ = 0;
  // While a command of the walk runs: the UID window and what it found.
  bool collecting_ = false;
  long long lo_ = 0, hi_ = 0;
  std::vector<long long> found_;
  long long max_seq_ = 0;
  long long want_seq_ = 0, seq_uid_ = 0;
  // The last sequence number asked for and its UID (until an expunge).
  long long cached_seq_ = 0, cached_uid_ = 0;
};

}  // namespace kq
