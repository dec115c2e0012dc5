// The learned run: the folder's UIDs less what the archive holds, rows and
// bodies fetched part by part.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "connection/imap.h"
#include "connection/reopen.h"
#include "connection/uid_search.h"
#include "export/run.h"
#include "search/search.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

// Rows are fetched for this many missing UIDs at a time: memory follows
// the part, not the folder. A part costs one drain of the pipeline, a few
// round trips against the thousands of messages it carries.
constexpr std::size_t k_learned_part = 10000;

// Ends a run that left UIDs neither stored nor confirmed gone: the reason
// names them all, across the parts.
void report_unfetched(export_job &job, const std::string &first) {
  guard hold(job.lock);
  std::vector<std::uint32_t> &u = job.unfetched;
  std::sort(u.begin(), u.end());
  u.erase(std::unique(u.begin(), u.end()), u.end());
  if (u.empty()) {
    set_err("%s", first.c_str());
    return;
  }
  constexpr std::size_t k_named = 200;
  std::size_t shown = std::min(u.size(), k_named);
  std::string text = decimal(u.size()) + (u.size() == 1 ? " message could not be fetched: UID " :
                                                          " messages could not be fetched: UIDs ") +
                     uid_set_text(u.data(), shown);
  if (shown < u.size()) text += " and " + decimal(u.size() - shown) + " more";
  std::size_t why = first.find(" (");
  if (why != std::string::npos) text += first.substr(why);
  set_err("%s", text.c_str());
}

}  // namespace

// The learned run: the folder's UIDs less what the archive holds, rows and
// bodies fetched part by part. A part whose rows or bodies could not all be
// fetched does not stop the run: the rest is stored, and the run ends
// failed naming what is missing.
ending run_learned(export_job &job, session &sess, long long exists) {
  std::vector<std::uint32_t> uids;
  if (!with_reconnects(sess, job.folder, job.gen.uidvalidity, [&] { return selected_uids(sess, exists, uids) == 0; }))
    return job.cancel_requested ? ending::cancelled : ending::failed;
  {
    guard hold(job.lock);
    // What the archive holds of this generation (the completed list, pruned
    // to the manifest's intact files) is not asked for again.
    std::erase_if(uids, [&job](std::uint32_t uid) { return ledger_has(job.completed, uid); });
    job.total = uids.size();
    job.bytes_todo = 0;
    save_resume(job);
  }
  row_fetch_options opts;
  opts.stop = [&job] { return job.cancel_requested.load() != 0; };
  std::string folder = job.folder;
  std::uint64_t generation = job.gen.uidvalidity;
  opts.reconnect = [&job, &sess, folder, generation] {
    if (!reopen_folder(sess, folder, generation)) return false;
    job.reconnects.fetch_add(1);
    return true;
  };
  bool incomplete = false;
  std::string first_failure;
  // Never more rows at once than a search result may hold.
  std::size_t per_part = std::min<std::size_t>(k_learned_part, search_state::instance().cap > 0 ? search_state::instance().cap : 1);
  for (std::size_t at = 0; at < uids.size(); at += per_part) {
    std::size_t end = std::min(uids.size(), at + per_part);
    std::vector<std::uint32_t> part(uids.begin() + static_cast<std::ptrdiff_t>(at),
                                    uids.begin() + static_cast<std::ptrdiff_t>(end));
    // The part before is stored: its rows go before the next part's are
    // built, so only one part is held at a time.
    job.result = std::make_shared<const search_result>(job.folder);
    auto rows = std::make_shared<search_result>(job.folder);
    row_fetch_report report;
    int rc = search_uid_rows(sess, part, *rows, opts, &report);
    job.retries.fetch_add(report.retries);
    // A cancel may have cost the connection: it is still a cancel.
    if (opts.stop()) return ending::cancelled;
    if (rc < 0) return ending::failed;
    if (rc > 0) {
      incomplete = true;
      if (first_failure.empty()) first_failure = last_error();
    }
    {
      guard hold(job.lock);
      // Only what the server confirmed gone leaves the count; rows that
      // could not be fetched stay counted and are named at the end.
      job.total -= report.gone.size();
      job.vanished.fetch_add(report.gone.size());
      job.unfetched.insert(job.unfetched.end(), report.failed.begin(), report.failed.end());
      for (const search_hit &row : rows->rows()) job.bytes_todo += announced(row);
    }
    job.result = std::move(rows);
    ending how = fetch_bodies(job, sess);
    if (how == ending::incomplete) {
      incomplete = true;
      if (first_failure.empty()) first_failure = last_error();
      continue;
    }
    if (how != ending::normal) return how;
  }
  if (incomplete) {
    report_unfetched(job, first_failure);
    return ending::failed;
  }
  return ending::normal;
}

}  // namespace kq
