// kq_search: learns the folder's UIDs from the server and filters on the
// client.
//
// The server's list is the truth: one UID SEARCH (the UID range of the
// criteria in it) names the messages, and the rows are fetched for exactly
// those, in parts, several commands in flight. Nothing is guessed from the
// message count or UIDNEXT, so UIDs far apart cost no more than dense ones,
// and a message the server does not answer for is asked again or reported,
// never silently left out.
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
#include "connection/reopen.h"
#include "connection/uid_search.h"
#include "search/search.h"

namespace kq {

namespace {

constexpr long long k_uid_top = 0xFFFFFFFFLL;  // UIDs are 32-bit

// Marks the search running for its scope; the cancel request of an earlier
// search never reaches a later one.
class running_scope {
 public:
  running_scope() {
    search_state &st = search_state::instance();
    st.cancel.store(false);
    st.progress_ppm.store(0);
    st.running.store(true);
  }
  ~running_scope() { search_state::instance().running.store(false); }
};

bool cancel_asked() { return search_state::instance().cancel.load(); }

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

// Rows are fetched for this many UIDs at a time; a full result ends the
// search between parts, so the rows kept are always the lowest UIDs.
constexpr std::size_t k_part = 10000;

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
  // The session asks too while it waits: a cancel lands with commands in
  // flight, not only between them.
  session::stop_scope stop(sess, [] { return cancel_asked(); });
  // A cancelled search leaves an empty result, wherever it was stopped.
  auto cancelled = [folder] {
    clear_result(folder);
    set_err("search cancelled");
    return -1;
  };
  mailbox_state st;
  // A folder that cannot be opened leaves the previous result as it was.
  if (sess.select(folder, &st) != 0) return cancel_asked() ? cancelled() : -1;
  clear_result(folder);
  if (st.exists <= 0) return 0;
  long long lo = c.uid_min_set ? std::max(1LL, c.uid_min) : 1;
  long long hi = c.uid_max_set ? std::min(k_uid_top, c.uid_max) : k_uid_top;
  auto found = std::make_shared<search_result>(folder);
  std::vector<std::uint32_t> uids;
  std::string name = folder;
  std::uint64_t generation = st.uidvalidity;
  if (lo <= hi && lo <= k_uid_top && !with_reconnects(sess, name, generation, [&] {
        return selected_uids(sess, st.exists, static_cast<std::uint32_t>(lo), static_cast<std::uint32_t>(hi),
                             uids) == 0;
      }))
    return cancel_asked() ? cancelled() : -1;
  // Progress counts the rows as they arrive, against every UID to fetch;
  // it stays under 1.0 until the search has ended well.
  std::size_t answered = 0;
  auto show_progress = [&uids](std::size_t n) {
    double share = uids.empty() ? 0.0 : static_cast<double>(n) / static_cast<double>(uids.size());
    search_state::instance().progress_ppm.store(
        std::min<std::uint32_t>(999999, static_cast<std::uint32_t>(1e6 * share)));
  };
  row_fetch_options opts;
  opts.keep = [&c](const row_draft &d) { return criteria_match(c, d.view()); };
  opts.stop = [] { return cancel_asked(); };
  opts.reconnect = [&sess, name, generation] { return reopen_folder(sess, name, generation); };
  opts.answered = [&] { show_progress(++answered); };
  row_fetch_report report;
  int cap_rows = search_state::instance().cap;
  std::size_t cap = static_cast<std::size_t>(cap_rows > 0 ? cap_rows : 0);
  std::size_t part = std::max<std::size_t>(1, std::min(k_part, cap));
  for (std::size_t at = 0; at < uids.size() && found->size() < cap; at += part) {
    std::size_t end = std::min(uids.size(), at + part);
    std::vector<std::uint32_t> some(uids.begin() + static_cast<std::ptrdiff_t>(at),
                                    uids.begin() + static_cast<std::ptrdiff_t>(end));
    int rc = search_uid_rows(sess, some, *found, opts, &report);
    if (cancel_asked()) return cancelled();
    // A search that could not see every message leaves no partial result
    // behind: the host would take it for the whole folder.
    if (rc != 0) return -1;
    // UIDs confirmed gone are done with too.
    answered = std::max(answered, end);
    show_progress(answered);
  }
  found->settle(cap);
  install_result(std::move(found));
  search_state::instance().progress_ppm.store(1000000);
  set_err("%s", "");
  return 0;
}

double search_progress() { return search_state::instance().progress_ppm.load() / 1e6; }

int search_cancel() {
  search_state &st = search_state::instance();
  if (!st.running.load()) return -1;
  st.cancel.store(true);
  return 0;
}

}  // namespace kq
