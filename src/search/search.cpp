// kq_search: walks a folder's UID range and filters on the client.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "kerquill.h"
#include "search/fetch_items.h"
#include "search/search.h"
#include "search/uid_walk.h"

namespace kq {

namespace {

constexpr long long k_uid_top = 0xFFFFFFFFLL;  // UIDs are 32-bit

long long sat_add(long long a, long long b) {
  long long r;
  if (!__builtin_add_overflow(a, b, &r)) return r;
  return b > 0 ? LLONG_MAX : LLONG_MIN;
}

// Fetches UID k into row h. False when the command failed (the scan ends);
// true otherwise, with h.uid == k only when the server returned that message.
bool fetch_candidate(reader &r, long long k, search_hit &h) {
  std::memset(&h, 0, sizeof h);
  h.has_attachments = -1;
  h.ts = -1;
  if (cmd_exec(&r,
               "UID FETCH %lld (UID RFC822.SIZE INTERNALDATE BODY.PEEK[HEADER.FIELDS (FROM TO "
               "SUBJECT CONTENT-TYPE)])",
               k) != 0)
    return false;
  for (int i = 0; i < r.count; ++i) {
    fetch_items f = read_fetch_items(r.records[i]);
    if (f.count < 2) continue;
    h.uid = f.uid;
    h.bytes = f.size;
    if (f.count == 3 && f.date[0]) copy_cut(h.date, sizeof h.date, f.date);
  }
  if (r.last_lit && r.last_lit_len > 0) {
    row_header_texts(h, r.last_lit, r.last_lit_len);
    h.has_attachments = attachment_state(r.last_lit);
  }
  r.release_records();
  if (h.uid == k) h.ts = internaldate_ts(h.date);
  return true;
}

// Probes [start, end]: existence a window at a time, then one header fetch
// per existing UID, so the rows equal those of probing every UID in turn.
void scan(reader &r, const search_criteria &c, long long count, long long start, long long end) {
  uid_walk walk(r, count, start, end);
  std::vector<long long> uids;
  while (s_search_count < s_search_cap && walk.next(uids)) {
    for (long long k : uids) {
      if (s_search_count >= s_search_cap) return;
      search_hit &h = s_search[s_search_count];
      if (!fetch_candidate(r, k, h)) return;
      if (h.uid == k && criteria_match(c, h)) ++s_search_count;
    }
  }
}

int search_run(const char *folder, const char *criteria) {
  if (!folder || !folder[0]) {
    set_err("no folder");
    return -1;
  }
  if (!conn_usable()) return -1;
  search_criteria c;
  if (!criteria_parse(criteria, c)) return -1;
  reader r;
  long long count = 0;
  unsigned long long uidnext = 0;
  if (imap_select(&r, folder, &count, &uidnext) != 0) return -1;
  r.release_records();
  if (count <= 0) {
    s_search_count = 0;
    return 0;
  }
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

  s_search_count = 0;
  if (!search_table_alloc()) {
    set_err("out of memory");
    return -1;
  }
  copy_cut(s_search_folder, sizeof s_search_folder, folder);
  if (start <= end) scan(r, c, count, start, end);
  set_err("%s", "");
  return 0;
}

}  // namespace

}  // namespace kq

extern "C" KQ_API int kq_search(const char *folder, const char *criteria_json) {
  try {
    return kq::search_run(folder, criteria_json);
  } catch (const std::bad_alloc &) {
    kq::set_err("out of memory");
  } catch (...) {
    kq::set_err("search failed");
  }
  return -1;
}
