// kq_search: walks a folder's UID range and filters on the client.
//
// The range is fetched in windows of UIDs, each one command asking for the
// items the filters need; several windows are in flight at once and their
// FETCH data is routed by UID. After a batch of empty windows the walk jumps
// to the next existing message through its sequence number, so a folder
// whose UIDs lie far apart costs no run of empty windows.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "search/search.h"

namespace kq {

namespace {

constexpr long long k_uid_top = 0xFFFFFFFFLL;  // UIDs are 32-bit
constexpr long long k_window = 1000;           // UIDs per command
constexpr int k_windows_in_flight = 8;

// Read by other threads while a search runs: the share of the UID range
// covered, in millionths, and a request to stop.
std::atomic<std::uint32_t> s_progress_ppm{0};
std::atomic<bool> s_cancel{false};
std::atomic<bool> s_running{false};

// Marks the search running for its scope; the cancel request of an earlier
// search never reaches a later one.
class running_scope {
 public:
  running_scope() {
    s_cancel.store(false);
    s_progress_ppm.store(0);
    s_running.store(true);
  }
  ~running_scope() { s_running.store(false); }
};

long long sat_add(long long a, long long b) {
  long long r;
  if (!__builtin_add_overflow(a, b, &r)) return r;
  return b > 0 ? LLONG_MAX : LLONG_MIN;
}

}  // namespace

const char *const k_row_items =
    "(UID RFC822.SIZE INTERNALDATE BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (FROM TO SUBJECT CONTENT-TYPE)])";

bool row_from(const fetch_data &f, row_draft &h) {
  if (!f.has_uid || !f.has_size) return false;
  h.from.clear();
  h.to.clear();
  h.subject.clear();
  h.uid = f.uid;
  h.bytes = f.size;
  h.date = f.internaldate.substr(0, 63);
  h.ts = internaldate_ts(h.date.c_str());
  std::string block;
  if (const fetch_data::section *hdr = f.find("HEADER")) {
    block.assign(hdr->bytes);
    row_header_texts(h, block.data(), static_cast<long long>(block.size()));
  }
  // The structure, when the server sent it, decides exactly; only without
  // it does the top Content-Type field say what it can.
  int state = f.structure_ok ? structure_attachment_state(f.structure) : -1;
  h.has_attachments = state >= 0 ? state : attachment_state(block.c_str());
  return true;
}

namespace {

class scanner {
 public:
  scanner(session &s, const search_criteria &c, long long count, long long start, long long end,
          std::shared_ptr<search_result> found)
      : s_(s), c_(c), count_(count), a_(start), end_(end), found_(std::move(found)) {}

  // Fills the result; false when a command failed (the rows found stay).
  bool run() {
    while (a_ <= end_ && !full()) {
      if (s_cancel.load()) {
        cancelled_ = true;
        return finish(false);
      }
      std::size_t before = found_->size();
      long long last = submit_batch();
      if (!s_.drain() || failed_) return finish(false);
      note_progress();
      if (found_->size() > before || a_ > end_) continue;
      // Nothing in the whole batch: jump to the next existing message.
      long long next;
      if (!next_uid_from(last + 1, next)) break;
      a_ = std::max(a_, next);
    }
    return finish(true);
  }

  bool cancelled() const { return cancelled_; }

 private:
  bool full() const { return static_cast<long long>(found_->size()) >= s_search_cap; }

  // Submits up to k_windows_in_flight windows from a_; returns the last UID covered.
  long long submit_batch() {
    long long last = a_ - 1;
    for (int w = 0; w < k_windows_in_flight && a_ <= end_; ++w) {
      long long b = end_ - a_ < k_window - 1 ? end_ : a_ + k_window - 1;
      session::command cmd;
      char line[256];
      std::snprintf(line, sizeof line, "UID FETCH %lld:%lld %s", a_, b, k_row_items);
      cmd.line = line;
      cmd.uid_lo = static_cast<std::uint32_t>(a_);
      cmd.uid_hi = static_cast<std::uint32_t>(b);
      long long lo = a_, hi = b;
      cmd.on_data = [this, lo, hi](response &r) {
        fetch_data f;
        if (!parse_fetch(r, f) || !f.has_uid || f.uid < lo || f.uid > hi) return;
        if (f.seq > max_seq_) max_seq_ = f.seq;
        if (row_from(f, draft_) && criteria_match(c_, draft_.view())) found_->add(draft_);
      };
      cmd.on_done = [this](int st, const std::string &) {
        if (st != 0) failed_ = true;
      };
      s_.submit(std::move(cmd));
      last = b;
      a_ = b + 1;
    }
    return last;
  }

  // UID of message number seq, 0 when there is none; false on failure.
  bool uid_of_seq(long long seq, long long &uid) {
    command_reply reply;
    if (s_.exec("FETCH " + decimal(static_cast<unsigned long long>(seq)) + " (UID)", &reply) != 0) return false;
    uid = 0;
    for (const response &r : reply.data) {
      fetch_data f;
      if (parse_fetch(r, f) && f.seq == seq && f.has_uid) uid = f.uid;
    }
    return true;
  }

  // The UID of the first message whose UID is at least a: sequence numbers
  // ascend with UIDs, so bisect them. False when there is none.
  bool next_uid_from(long long a, long long &uid) {
    long long n = s_.selected_state().exists > 0 ? s_.selected_state().exists : count_;
    long long lo = max_seq_ > 0 ? max_seq_ + 1 : 1, hi = n + 1;
    while (lo < hi) {
      long long mid = lo + (hi - lo) / 2;
      long long u;
      if (!uid_of_seq(mid, u)) return false;
      if (u == 0 || u >= a) hi = mid;
      else lo = mid + 1;
    }
    if (lo > n) return false;
    long long u;
    if (!uid_of_seq(lo, u) || u == 0) return false;
    max_seq_ = lo - 1;
    uid = u < a ? a : u;
    return true;
  }

  bool finish(bool ok) {
    // Rows in UID order, each message once, cut at the capacity.
    found_->settle(static_cast<std::size_t>(s_search_cap > 0 ? s_search_cap : 0));
    return ok;
  }

  void note_progress() {
    double share = static_cast<double>(a_ - first_) / static_cast<double>(end_ - first_ + 1);
    if (share > 1.0) share = 1.0;
    s_progress_ppm.store(static_cast<std::uint32_t>(share * 1e6));
  }

  session &s_;
  const search_criteria &c_;
  long long count_;
  long long a_, end_;
  long long first_ = a_;
  bool cancelled_ = false;
  long long max_seq_ = 0;
  bool failed_ = false;
  std::shared_ptr<search_result> found_;
  row_draft draft_;  // reused: its strings keep their room from row to row
};

}  // namespace

int search_folder(const char *folder, const char *criteria) {
  if (!folder || !folder[0]) {
    set_err("no folder");
    return -1;
  }
  session &sess = main_session();
  if (!sess.usable()) return -1;
  search_criteria c;
  if (!criteria_parse(criteria, c)) return -1;
  running_scope running;
  mailbox_state st;
  // A folder that cannot be opened leaves the previous result as it was.
  if (sess.select(folder, &st) != 0) return -1;
  clear_result(folder);
  long long count = st.exists;
  unsigned long long uidnext = st.uidnext;
  if (count <= 0) return 0;
  // N distinct positive UIDs need a UIDNEXT above N; a smaller one is bogus.
  if (uidnext <= static_cast<unsigned long long>(count)) uidnext = 0;
  long long start = c.uid_min_set ? c.uid_min : 1;
  // Every existing UID lies below UIDNEXT (UIDs only ever ascend).
  long long last_uid = uidnext > 0 ? static_cast<long long>(std::min<unsigned long long>(
                                         uidnext - 1, k_uid_top))
                                   : k_uid_top;
  long long end;
  if (c.uid_max_set) {
    end = c.uid_max;
  } else {
    // Also reach folders whose UIDs lie far above their message count.
    end = sat_add(sat_add(count, start), 100);
    if (uidnext > 0) end = std::max(end, last_uid);
  }
  // Probing past the last possible UID would only cost round trips.
  end = std::min(end, last_uid);
  std::size_t keep = sess.window();
  sess.set_window(k_windows_in_flight);
  bool ok = true, cancelled = false;
  auto found = std::make_shared<search_result>(folder);
  if (start <= end) {
    scanner sc(sess, c, count, start, end, found);
    ok = sc.run();
    cancelled = sc.cancelled();
  }
  sess.set_window(keep);
  // (status, not usable(): that would replace the session's reason.)
  if (cancelled || (!ok && sess.status() != 2)) {
    // A search that could not finish leaves no partial result behind; a
    // lost connection keeps the text the session gave it.
    if (cancelled) set_err("search cancelled");
    return -1;
  }
  install_result(std::move(found));
  s_progress_ppm.store(1000000);
  set_err("%s", "");
  return 0;
}

double search_progress() { return s_progress_ppm.load() / 1e6; }

int search_cancel() {
  if (!s_running.load()) return -1;
  s_cancel.store(true);
  return 0;
}

}  // namespace kq
