// Result rows for a given set of UIDs: what a search keeps and what an
// incremental export needs for the messages the archive does not hold yet.
#include <algorithm>

#include "base/error.h"
#include "connection/uid_fetch.h"
#include "search/search.h"

namespace kq {

namespace {

constexpr std::size_t k_uids_per_command = 1000;
constexpr std::size_t k_commands_in_flight = 8;

}  // namespace

int search_uid_rows(session &s, const std::vector<std::uint32_t> &uids, search_result &rows,
                    const row_fetch_options &opts, row_fetch_report *report) {
  row_draft draft;  // reused: its strings keep their room from row to row
  uid_fetch_plan plan;
  plan.items = k_row_items;
  plan.per_command = k_uids_per_command;
  plan.window = k_commands_in_flight;
  uid_fetch run(s, plan, [&](std::uint32_t, response &, const fetch_data &f, bool again, std::string &) {
    if (again) return fetch_take::taken;  // the row is made once
    if (!row_from(f, draft)) return fetch_take::incomplete;
    if (opts.answered) opts.answered();
    if (!opts.keep || opts.keep(draft)) rows.add(draft);
    return fetch_take::taken;
  });
  if (opts.stop) run.set_control([&opts] { return opts.stop() ? 2 : 0; }, nullptr);
  if (opts.reconnect) run.set_reconnect(opts.reconnect);
  if (opts.tick) run.set_tick(opts.tick);
  uid_fetch::end e = run.run(uids);
  if (report) {
    report->retries += run.retries();
    report->reconnects += run.reconnects();
    report->gone.insert(report->gone.end(), run.gone().begin(), run.gone().end());
    report->failed.insert(report->failed.end(), run.failed().begin(), run.failed().end());
  }
  rows.settle(uids.size());
  switch (e) {
    case uid_fetch::end::complete: return 0;
    case uid_fetch::end::stopped: return 0;
    case uid_fetch::end::lost: return -1;  // the session's reason is in last_error
    case uid_fetch::end::incomplete: break;
  }
  set_err("%s", run.failure_text().c_str());
  return 1;
}

}  // namespace kq
