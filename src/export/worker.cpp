#include "export/worker.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "base/error.h"
#include "base/text.h"
#include "export/export_one.h"
#include "export/file_util.h"
#include "export/generation.h"
#include "export/layout.h"
#include "export/manifest.h"
#include "export/resume.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "connection/reopen.h"
#include "connection/uid_fetch.h"
#include "connection/uid_search.h"
#include "search/search.h"
#include "search/search_table.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

// How a run ended; `incomplete` is a failure that named the UIDs it could
// not fetch.
enum class ending { normal, cancelled, failed, incomplete };

// all.mbox: appended to in resume mode, cut back to the length that holds
// exactly the completed messages when resume.json knows it.
bool open_mbox(export_job *job, std::vector<std::uint32_t> held) {
  std::string path = std::string(job->dir) + "/all.mbox";
  bool append = job->resume && plat::path_exists(path.c_str());
  if (!job->mbox_file.open(path.c_str(), !append)) {
    set_err("cannot write %s: %s", path.c_str(), plat::error_text(plat::last_errno()));
    return false;
  }
  if (!append) return true;
  // What the archive held when the job started is in all.mbox already.
  job->in_mbox = std::move(held);
  // Only ever cut at a record boundary: a length from a stale resume.json
  // must not split a record that a later job wrote.
  bool cut = job->mbox_bytes >= 0 && job->mbox_file.size() > job->mbox_bytes &&
             mbox_record_boundary(path.c_str(), job->mbox_bytes) &&
             job->mbox_file.truncate(job->mbox_bytes);
  // A record torn by a crash must not swallow the next separator line.
  if (!cut && ends_inside_line(path.c_str()) && !job->mbox_file.write("\r\n\r\n", 4)) {
    set_err("cannot write %s: %s", path.c_str(), plat::error_text(plat::last_errno()));
    return false;
  }
  return true;
}

// Sleeps while a pause is requested; false when a cancel ends the wait.
bool wait_while_paused(export_job *job) {
  for (;;) {
    {
      guard hold(job->lock);
      if (job->cancel_requested) return false;
      if (!job->pause_requested) {
        job->state = k_job_running;
        return true;
      }
      job->state = k_job_stopped;
    }
    // Short: a resume or cancel is taken up at once, and a look at two
    // atomics under the lock costs nothing.
    plat::sleep_ms(10);
  }
}

void sample_speed(export_job *job) {
  auto now = static_cast<long long>(plat::tick_ms());
  long long elapsed = now - job->tick_ms;
  if (elapsed <= 999) return;
  long long b = job->bytes;
  job->speed_bps = (b - job->bytes_at_tick) * 1000 / elapsed;
  job->bytes_at_tick = b;
  job->tick_ms = now;
}

}  // namespace

void count_work(export_job *job) {
  std::uint64_t total = 0;
  long long todo = 0;
  for (const search_hit &row : job->result->rows()) {
    if (job->resume && resume_has(job, row.uid)) continue;
    ++total;
    todo += row.bytes > 0 ? row.bytes : 0;
  }
  job->total = total;
  job->bytes_todo = todo;
}

namespace {

constexpr std::size_t k_fetch_window = 32;                  // commands in flight
// Bodies travel many to a command: a command asks for up to k_batch_messages
// rows or k_batch_bytes of their announced sizes (at least one row), and the
// commands in flight announce at most k_window_bytes together. That bounds
// memory and the data a pause or cancel must drain (well under a second on
// any link fast enough to fill the window), while a far server is kept busy.
constexpr std::size_t k_batch_messages = 250;
constexpr long long k_batch_bytes = 1LL << 20;
constexpr long long k_window_bytes = 8LL << 20;
constexpr std::uint64_t k_resume_every_ms = 2000;            // resume.json rewrite pacing

long long announced(const search_hit &row) { return row.bytes > 0 ? row.bytes : 0; }

// A cheap fingerprint of a stored body: a second answer for the same UID in
// one run must be the same message.
struct body_print {
  std::size_t size = 0;
  std::size_t hash = 0;
};

body_print print_of(std::string_view body) { return {body.size(), std::hash<std::string_view>{}(body)}; }

// Where a body stored in this run went, so a second, different answer for
// its UID can take it back out of the archive.
struct stored_at {
  body_print print;
  std::string path;
  long long mbox_from = -1, mbox_to = -1;  // its all.mbox record
};

// Fetches the bodies of the job's rows that the archive lacks through the
// run's ledger, and hands each body to the archive writer as it arrives.
class fetcher {
 public:
  fetcher(export_job *job, session &s) : job_(job), s_(s) {}

  ending run() {
    const std::vector<search_hit> &rows = job_->result->rows();
    std::vector<std::uint32_t> uids;
    {
      guard hold(job_->lock);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        // Skip exactly what the archive holds.
        if (job_->resume && resume_has(job_, rows[i].uid)) continue;
        uids.push_back(rows[i].uid);
        index_.push_back(i);
      }
    }
    stored_.assign(uids.size(), stored_at{});
    uid_fetch_plan plan;
    plan.items = "(BODY.PEEK[])";
    plan.per_command = k_batch_messages;
    plan.bytes_per_command = k_batch_bytes;
    plan.bytes_in_flight = k_window_bytes;
    plan.window = k_fetch_window;
    uid_fetch f(s_, plan, [this](std::uint32_t uid, response &r, const fetch_data &d, bool again, std::string &why) {
      return on_record(uid, r, d, again, why);
    });
    uids_ = &uids;
    f.set_weight([this, &rows](std::uint32_t uid) { return announced(rows[index_[slot(uid)]]); });
    f.set_control(
        [this] { return job_->cancel_requested ? 2 : job_->pause_requested ? 1 : 0; },
        [this] {
          maybe_write_resume(true);
          return wait_while_paused(job_);
        });
    std::string folder = job_->folder;
    std::uint64_t generation = job_->uidvalidity;
    f.set_reconnect([this, folder, generation] {
      if (!reopen_folder(s_, folder, generation)) return false;
      job_->reconnects.fetch_add(1);
      return true;
    });
    f.set_tick([this] {
      maybe_write_resume(false);
      sample_speed(job_);
    });
    f.set_on_gone([this](std::uint32_t) {
      job_->vanished.fetch_add(1);
      guard hold(job_->lock);
      if (job_->total > 0) --job_->total;
    });
    unsigned retries_before = f.retries();
    uid_fetch::end e = f.run(uids);
    job_->retries.fetch_add(f.retries() - retries_before);
    switch (e) {
      case uid_fetch::end::complete: return ending::normal;
      case uid_fetch::end::stopped: return ending::cancelled;
      case uid_fetch::end::lost: return ending::failed;  // the connection's reason is in last_error
      case uid_fetch::end::incomplete: break;
    }
    {
      guard hold(job_->lock);
      job_->unfetched.insert(job_->unfetched.end(), f.failed().begin(), f.failed().end());
    }
    // A fault of this machine (a full disk, a file in the way) says so
    // first: no server can mend it.
    if (!local_error_.empty()) set_err("%s; %s", local_error_.c_str(), f.failure_text().c_str());
    else set_err("%s", f.failure_text().c_str());
    return ending::incomplete;
  }

 private:
  std::size_t slot(std::uint32_t uid) const {
    return static_cast<std::size_t>(std::lower_bound(uids_->begin(), uids_->end(), uid) - uids_->begin());
  }

  fetch_take on_record(std::uint32_t uid, response &r, const fetch_data &d, bool again, std::string &why) {
    const fetch_data::section *b = d.find("]");
    if (b && b->over_cap) {
      why = over_cap_message(uid, b->over_cap_size);
      return fetch_take::refused;
    }
    if (!b || b->nil || b->bytes.empty()) return fetch_take::incomplete;
    std::size_t k = slot(uid);
    if (again) {
      body_print p = print_of(b->bytes);
      if (p.size == stored_[k].print.size && p.hash == stored_[k].print.hash) return fetch_take::taken;
      why = "the server sent two different bodies for uid " + decimal(uid);
      take_back(uid, stored_[k]);
      return fetch_take::refused;
    }
    const search_hit &row = job_->result->rows()[index_[k]];
    stored_[k].print = print_of(b->bytes);
    std::string body;
    // The literal moves instead of being copied when it is the only one.
    if (r.literals.size() == 1 && b->bytes.data() == r.literals[0].data() &&
        b->bytes.size() == r.literals[0].size())
      body = std::move(r.literals[0]);
    else
      body.assign(b->bytes);
    if (!store(row, body, stored_[k])) {
      why = last_error();
      if (local_error_.empty()) local_error_ = why;
      return fetch_take::incomplete;
    }
    return fetch_take::taken;
  }

  // Two different messages under one UID: neither can be trusted. The one
  // stored goes out of the archive (its file set aside, its all.mbox record
  // cut when nothing came after it) and stops counting as archived, so a
  // later run fetches it again.
  void take_back(std::uint32_t uid, const stored_at &at) {
    if (!at.path.empty()) plat::file_replace(at.path.c_str(), (at.path + ".damaged").c_str());
    if (at.mbox_to >= 0 && job_->mbox_file.is_open() && job_->mbox_file.size() == at.mbox_to)
      job_->mbox_file.truncate(at.mbox_from);
    guard hold(job_->lock);
    std::erase(job_->completed, uid);
  }

  bool store(const search_hit &row, const std::string &body, stored_at &at) {
    {
      guard hold(job_->lock);
      char uid[32];
      std::snprintf(uid, sizeof uid, "  uid=%u  ", row.uid);
      copy_cut(job_->current, sizeof job_->current,
               std::string(job_->folder) + uid + row.subject);  // cut at 1023
    }
    char path[k_path_cap];
    long long mbox_from = job_->mbox_file.is_open() ? job_->mbox_file.size() : -1;
    if (store_message(job_, &row, body.data(), body.size(), path) != 0) return false;
    at.path = path;
    at.mbox_from = mbox_from;
    at.mbox_to = job_->mbox_file.is_open() ? job_->mbox_file.size() : -1;
    {
      guard hold(job_->lock);
      ++job_->done;
      job_->bytes += announced(row);
      if (static_cast<long long>(row.uid) > job_->last_uid) job_->last_uid = row.uid;
    }
    return true;
  }

  // resume.json lists the completed UIDs; rewriting it costs its length, so
  // it is paced by time (and written at every stop), not per message. The
  // manifest holds each message the moment it is stored.
  void maybe_write_resume(bool now) {
    std::uint64_t t = plat::tick_ms();
    if (!now && t - last_resume_ms_ < k_resume_every_ms) return;
    last_resume_ms_ = t;
    guard hold(job_->lock);
    resume_write(job_);
  }

  export_job *job_;
  session &s_;
  const std::vector<std::uint32_t> *uids_ = nullptr;
  std::vector<std::size_t> index_;   // row of each UID asked for
  std::vector<stored_at> stored_;    // each body stored in this run
  std::string local_error_;          // the first failure to store a body here
  std::uint64_t last_resume_ms_ = plat::tick_ms();
};

// Without a manifest the row tells where a completed message's file is and
// how long it is: one that is gone or of another length is fetched again.
void drop_damaged_without_manifest(export_job *job) {
  bool dated = naming_is_dated(job->naming);
  std::uint64_t uv = name_uidvalidity(job);
  for (const search_hit &row : job->result->rows()) {
    if (!resume_has(job, row.uid)) continue;
    std::string path = std::string(job->dir) + "/" + relative_name(dated, row.date, row.uid, uv);
    long long size = plat::file_size(path.c_str());
    if (size >= 0 && (row.bytes <= 0 || size == row.bytes)) continue;
    if (size >= 0) plat::file_replace(path.c_str(), (path + ".damaged").c_str());
    std::erase(job->completed, row.uid);
  }
}

// Rows are fetched for this many missing UIDs at a time: memory follows
// the part, not the folder. A part costs one drain of the pipeline, a few
// round trips against the thousands of messages it carries.
constexpr std::size_t k_learned_part = 10000;

// Ends a run that left UIDs neither stored nor confirmed gone: the reason
// names them all, across the parts.
void report_unfetched(export_job *job, const std::string &first) {
  guard hold(job->lock);
  std::vector<std::uint32_t> &u = job->unfetched;
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

// The learned run: the folder's UIDs less what the archive holds, rows and
// bodies fetched part by part. A part whose rows or bodies could not all be
// fetched does not stop the run: the rest is stored, and the run ends
// failed naming what is missing.
ending run_learned(export_job *job, session &sess, long long exists) {
  std::vector<std::uint32_t> uids;
  if (!with_reconnects(sess, job->folder, job->uidvalidity, [&] { return selected_uids(sess, exists, uids) == 0; }))
    return job->cancel_requested ? ending::cancelled : ending::failed;
  {
    guard hold(job->lock);
    // What the archive holds of this generation (the completed list, pruned
    // to the manifest's intact files) is not asked for again.
    std::erase_if(uids, [job](std::uint32_t uid) { return resume_has(job, uid) != 0; });
    job->total = uids.size();
    job->bytes_todo = 0;
    resume_write(job);
  }
  row_fetch_options opts;
  opts.stop = [job] { return job->cancel_requested.load() != 0; };
  std::string folder = job->folder;
  std::uint64_t generation = job->uidvalidity;
  opts.reconnect = [job, &sess, folder, generation] {
    if (!reopen_folder(sess, folder, generation)) return false;
    job->reconnects.fetch_add(1);
    return true;
  };
  bool incomplete = false;
  std::string first_failure;
  // Never more rows at once than a search result may hold.
  std::size_t per_part = std::min<std::size_t>(k_learned_part, s_search_cap > 0 ? s_search_cap : 1);
  for (std::size_t at = 0; at < uids.size(); at += per_part) {
    std::size_t end = std::min(uids.size(), at + per_part);
    std::vector<std::uint32_t> part(uids.begin() + static_cast<std::ptrdiff_t>(at),
                                    uids.begin() + static_cast<std::ptrdiff_t>(end));
    // The part before is stored: its rows go before the next part's are
    // built, so only one part is held at a time.
    job->result = std::make_shared<const search_result>(job->folder);
    auto rows = std::make_shared<search_result>(job->folder);
    row_fetch_report report;
    int rc = search_uid_rows(sess, part, *rows, opts, &report);
    job->retries.fetch_add(report.retries);
    // A cancel may have cost the connection: it is still a cancel.
    if (opts.stop()) return ending::cancelled;
    if (rc < 0) return ending::failed;
    if (rc > 0) {
      incomplete = true;
      if (first_failure.empty()) first_failure = last_error();
    }
    {
      guard hold(job->lock);
      // Only what the server confirmed gone leaves the count; rows that
      // could not be fetched stay counted and are named at the end.
      job->total -= report.gone.size();
      job->vanished.fetch_add(report.gone.size());
      job->unfetched.insert(job->unfetched.end(), report.failed.begin(), report.failed.end());
      for (const search_hit &row : rows->rows()) job->bytes_todo += announced(row);
    }
    job->result = std::move(rows);
    fetcher f(job, sess);
    ending how = f.run();
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

ending run(export_job *job) {
  session &sess = main_session();
  // A cancel lands while bodies are on the wire: the session stops reading
  // them within a moment (closing the connection if they keep coming), so
  // nothing half-received is stored and the job ends at once.
  session::stop_scope stop(sess, [job] { return job->cancel_requested.load() != 0; });
  mailbox_state mb;
  // The search that made the rows has usually just opened the folder.
  if (sess.open(job->folder, &mb) != 0) return job->cancel_requested ? ending::cancelled : ending::failed;
  {
    guard hold(job->lock);
    settle_generation(job, mb.uidvalidity);
  }
  // The completed list is the worker's alone while the job runs.
  std::vector<std::uint32_t> held = job->completed;
  if (job->manifest) {
    // Without a manifest nothing says which files are archived messages.
    bool listed = plat::path_exists(manifest_path(job->dir).c_str());
    job->names_indexed = manifest_prune(job, std::max(job->result->size(), job->completed.size())) && listed;
  }
  else if (job->resume) drop_damaged_without_manifest(job);
  mkdirs(job->dir);
  if (job->mbox && !open_mbox(job, std::move(held))) return ending::failed;
  std::size_t keep = sess.window();
  if (job->learn_uids) {
    ending how = run_learned(job, sess, mb.exists);
    sess.set_window(keep);
    return how;
  }

  {
    guard hold(job->lock);
    count_work(job);
    // Records where this run starts, so a run killed before its first
    // regular update still leaves all.mbox cut back to this point.
    resume_write(job);
  }
  fetcher f(job, sess);
  ending how = f.run();
  sess.set_window(keep);
  return how == ending::incomplete ? ending::failed : how;
}

}  // namespace

void job_worker(export_job *job) {
  job->state = k_job_running;
  job->tick_ms = static_cast<long long>(plat::tick_ms());
  job->bytes_at_tick = 0;
  ending how;
  try {
    how = run(job);
  } catch (...) {
    set_err("out of memory");
    how = ending::failed;
  }
  {
    // Every stop records what is stored, so a later resume fetches nothing
    // twice; a failed run records it too.
    guard hold(job->lock);
    resume_write(job);
    if (how == ending::normal) job->current[0] = '\0';
  }
  job->mbox_file.close();
  job->manifest_file.close();
  std::int32_t final_state = how == ending::failed ? k_job_error
                             : how == ending::cancelled || job->cancel_requested ? k_job_stopped
                                                                                  : k_job_done;
  // State and `active` change together, so a host that sees the end may
  // start the next job at once; after this the record is not touched.
  guard hold(job->lock);
  // The reason goes with the state: the host cannot read this thread's
  // last_error.
  if (final_state == k_job_error) copy_cut(job->error, sizeof job->error, last_error());
  job->completed.clear();
  job->completed.shrink_to_fit();
  job->state = final_state;
  job->active = 0;
}

}  // namespace kq
