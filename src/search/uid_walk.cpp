#include "search/uid_walk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "search/fetch_items.h"

namespace kq {

namespace {
constexpr long long k_window = 1000;  // keeps a window's reply within the record table
}

uid_walk::uid_walk(reader &r, long long count, long long start, long long end)
    : r_(r), count_(count), a_(start), end_(end) {
  found_.reserve(k_window);
  r_.on_record = &uid_walk::on_record;
  r_.on_record_ctx = this;
}

uid_walk::~uid_walk() {
  r_.on_record = nullptr;
  r_.on_record_ctx = nullptr;
}

// Sees every record of every command sent on the reader during the walk,
// including the caller's per-message fetches.
void uid_walk::on_record(void *ctx, const char *line, const char *, long long) {
  auto *w = static_cast<uid_walk *>(ctx);
  long long n = 0;
  char word[10] = "";
  if (std::sscanf(line, "* %lld %9s", &n, word) != 2) return;
  if (std::strcmp(word, "EXPUNGE") == 0) {
    // Every later message moves down by one.
    if (w->seq_known_ && n < w->seq_next_) --w->seq_next_;
    if (w->max_seq_ >= n) --w->max_seq_;
    if (w->count_ > 0) --w->count_;
    w->cached_seq_ = 0;
    return;
  }
  if (std::strcmp(word, "EXISTS") == 0) {
    w->count_ = n;
    return;
  }
  if (std::strcmp(word, "FETCH") != 0) return;
  unsigned long long u;
  if (!read_fetch_uid(line, u)) return;
  long long uid = static_cast<long long>(u);
  if (w->collecting_ && uid >= w->lo_ && uid <= w->hi_) {
    w->found_.push_back(uid);
    w->max_seq_ = std::max(w->max_seq_, n);
  }
  if (w->want_seq_ == n) w->seq_uid_ = uid;
}

bool uid_walk::uid_of_seq(long long seq, long long &uid) {
  if (seq == cached_seq_) {
    uid = cached_uid_;
    return true;
  }
  want_seq_ = seq;
  seq_uid_ = 0;
  int rc = cmd_exec(&r_, "FETCH %lld (UID)", seq);
  r_.release_records();
  want_seq_ = 0;
  if (rc != 0) {
    failed_ = true;
    return false;
  }
  uid = seq_uid_;
  cached_seq_ = seq;
  cached_uid_ = uid;
  return true;
}

// UID of the first message whose UID is at least a; false when there is none
// or a command failed.
bool uid_walk::next_uid_from(long long a, long long &uid) {
  if (!seq_known_) {
    // Sequence numbers ascend with UIDs: search them for the first UID >= a.
    long long lo = 1, hi = count_ + 1;
    long long u = 0;
    if (!uid_of_seq(1, u)) return false;
    if (u >= a || u == 0) {
      hi = 1;
    } else {
      lo = 2;
      while (lo < hi) {
        long long mid = lo + (hi - lo) / 2;
        if (!uid_of_seq(mid, u)) return false;
        if (u == 0 || u >= a) hi = mid;
        else lo = mid + 1;
      }
    }
    seq_known_ = true;
    seq_next_ = lo;
  }
  if (seq_next_ < 1 || seq_next_ > count_) return false;
  if (!uid_of_seq(seq_next_, uid)) return false;
  // A reply that does not fit the picture only disables the jump.
  if (uid < a) uid = a;
  return true;
}

bool uid_walk::next(std::vector<long long> &uids) {
  uids.clear();
  while (!failed_ && a_ <= end_) {
    long long b = end_ - a_ < k_window - 1 ? end_ : a_ + k_window - 1;
    found_.clear();
    max_seq_ = 0;
    collecting_ = true;
    lo_ = a_;
    hi_ = b;
    int rc = cmd_exec(&r_, "UID FETCH %lld:%lld (UID)", a_, b);
    collecting_ = false;
    r_.release_records();
    if (rc != 0) {
      failed_ = true;
      return false;
    }
    a_ = b + 1;
    if (!found_.empty()) {
      seq_known_ = true;
      seq_next_ = max_seq_ + 1;
      std::sort(found_.begin(), found_.end());
      found_.erase(std::unique(found_.begin(), found_.end()), found_.end());
      uids.swap(found_);
      return true;
    }
    // An empty window: jump to the next message instead of walking the gap
    // a thousand UIDs at a time (sparse folders, UIDs far above the count).
    if (a_ > end_) break;
    long long u;
    if (!next_uid_from(a_, u)) break;
    a_ = u;
  }
  return false;
}

}  // namespace kq
