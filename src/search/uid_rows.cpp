// Result rows for a given set of UIDs: what an incremental export needs
// for the messages the archive does not hold yet, and nothing for the rest.
#include <algorithm>

#include "base/error.h"
#include "connection/uid_search.h"
#include "search/search.h"

namespace kq {

namespace {

constexpr std::size_t k_uids_per_command = 1000;
constexpr std::size_t k_commands_in_flight = 8;

}  // namespace

int search_uid_rows(session &s, const std::vector<std::uint32_t> &uids, search_result &rows,
                    const std::function<bool()> &stop) {
  row_draft draft;  // reused: its strings keep their room from row to row
  bool failed = false;
  std::string why;
  std::size_t keep = s.window();
  s.set_window(k_commands_in_flight);
  std::size_t next = 0;
  bool ok = true;
  while (ok && !failed && (next < uids.size() || s.outstanding() > 0)) {
    while (next < uids.size() && s.outstanding() < k_commands_in_flight && !failed && !stop()) {
      std::size_t n = std::min(k_uids_per_command, uids.size() - next);
      const std::uint32_t *part = uids.data() + next;
      next += n;
      session::command c;
      c.line = "UID FETCH " + uid_set_text(part, n) + " " + k_row_items;
      // Parts follow each other in UID order: their spans never overlap, so
      // each FETCH record is routed to the part that asked for it.
      c.uid_lo = part[0];
      c.uid_hi = part[n - 1];
      std::uint32_t lo = part[0], hi = part[n - 1];
      c.on_data = [&rows, &draft, part, n, lo, hi](response &r) {
        fetch_data f;
        if (!parse_fetch(r, f) || !f.has_uid || f.uid < lo || f.uid > hi) return;
        if (!std::binary_search(part, part + n, f.uid)) return;
        if (row_from(f, draft)) rows.add(draft);
      };
      c.on_done = [&failed, &why](int st, const std::string &text) {
        if (st != 0 && !failed) failed = true, why = text;
      };
      s.submit(std::move(c));
    }
    if (s.outstanding() == 0) break;  // stopped
    ok = s.run_until_at_most(s.outstanding() - 1);
  }
  // Handlers of commands still in flight write into `rows`: none may
  // outlive this call.
  if (ok) ok = s.drain();
  s.set_window(keep);
  if (!ok) return -1;  // the session's reason is in last_error
  if (failed) {
    set_err("UID FETCH failed: %s", why.c_str());
    return -1;
  }
  rows.settle(uids.size());
  return 0;
}

}  // namespace kq
