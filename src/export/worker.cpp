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
#include "connection/uid_search.h"
#include "search/search.h"
#include "search/search_table.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

enum class ending { normal, cancelled, failed };

// all.mbox: appended to in resume mode, cut back to the length that holds
// exactly the completed messages when resume.json knows it.
bool open_mbox(export_job *job) {
  std::string path = std::string(job->dir) + "/all.mbox";
  bool append = job->resume && plat::path_exists(path.c_str());
  if (!job->mbox_file.open(path.c_str(), !append)) {
    set_err("cannot write %s", path.c_str());
    return false;
  }
  if (!append) return true;
  // Only ever cut at a record boundary: a length from a stale resume.json
  // must not split a record that a later job wrote.
  bool cut = job->mbox_bytes >= 0 && job->mbox_file.size() > job->mbox_bytes &&
             mbox_record_boundary(path.c_str(), job->mbox_bytes) &&
             job->mbox_file.truncate(job->mbox_bytes);
  // A record torn by a crash must not swallow the next separator line.
  if (!cut && ends_inside_line(path.c_str()) && !job->mbox_file.write("\r\n\r\n", 4)) {
    set_err("cannot write %s", path.c_str());
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
    plat::sleep_ms(200);
  }
}

// The retry pause after a failed message; a cancel cuts it short.
bool wait_before_retry(export_job *job) {
  for (int i = 0; i < 10; ++i) {
    if (job->cancel_requested) return false;
    plat::sleep_ms(200);
  }
  return !job->cancel_requested;
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

// The UID set naming exactly these rows (ascending).
std::string uid_set(const std::vector<const search_hit *> &rows) {
  std::vector<std::uint32_t> uids;
  uids.reserve(rows.size());
  for (const search_hit *r : rows) uids.push_back(r->uid);
  return uid_set_text(uids.data(), uids.size());
}

// Fetches the job's rows with a window of ranged commands in flight and
// hands each body to the archive writer as it arrives.
class fetcher {
 public:
  fetcher(export_job *job, session &s) : job_(job), s_(s) {}

  ending run() {
    s_.set_window(k_fetch_window);
    std::size_t next = 0;
    for (;;) {
      if (failed_) return drain_then(ending::failed);
      if (job_->cancel_requested) return drain_then(ending::cancelled);
      if (job_->pause_requested) {
        // What was sent is stored first; then the pause holds.
        if (!s_.drain()) return lost();
        if (failed_) return ending::failed;
        maybe_write_resume(true);
        if (!wait_while_paused(job_)) return ending::cancelled;
      }
      while (s_.outstanding() < k_fetch_window && in_flight_bytes_ < k_window_bytes && !failed_ &&
             !job_->pause_requested && !job_->cancel_requested) {
        std::vector<const search_hit *> batch = next_batch(next);
        if (batch.empty()) break;
        submit(std::move(batch), false);
      }
      if (s_.outstanding() == 0 && retry_.empty() && put_back_.empty()) break;
      if (s_.outstanding() == 0 && !retry_.empty()) {
        // A failed message is tried once more after a pause, many to a
        // command as the first time: a burst of failures (a full disk, a
        // confused answer) must not turn into one command per message.
        if (!wait_before_retry(job_)) return ending::cancelled;
        std::vector<const search_hit *> again;
        again.swap(retry_);
        std::sort(again.begin(), again.end(),
                  [](const search_hit *a, const search_hit *b) { return a->uid < b->uid; });
        for (std::size_t i = 0; i < again.size() && !failed_;) {
          std::vector<const search_hit *> part;
          long long bytes = 0;
          while (i < again.size() && part.size() < k_batch_messages &&
                 (part.empty() || bytes + announced(*again[i]) <= k_batch_bytes)) {
            bytes += announced(*again[i]);
            part.push_back(again[i++]);
          }
          submit(std::move(part), true);
          if (s_.outstanding() >= k_fetch_window && !s_.run_until_at_most(k_fetch_window - 1)) return lost();
        }
        continue;
      }
      if (s_.outstanding() == 0) continue;  // a pause or cancel stopped the filling
      if (!s_.run_until_at_most(s_.outstanding() - 1)) return lost();
      maybe_write_resume(false);
    }
    if (failed_) return ending::failed;
    return ending::normal;
  }

 private:
  ending lost() {
    set_err("%s", s_.lost_reason().empty() ? "connection lost" : s_.lost_reason().c_str());
    return ending::failed;
  }

  // Cancel and failure still store what is already on its way.
  ending drain_then(ending how) {
    if (!s_.drain() && how != ending::failed) return lost();
    return failed_ ? ending::failed : how;
  }

  // The next rows that the archive lacks, as much as one command may ask
  // for: first those a pause put back, then the rows from `next`.
  std::vector<const search_hit *> next_batch(std::size_t &next) {
    const std::vector<search_hit> &rows = job_->result->rows();
    std::vector<const search_hit *> batch;
    long long bytes = 0;
    if (!put_back_.empty()) {
      std::size_t n = 0;
      while (n < put_back_.size() && batch.size() < k_batch_messages &&
             (batch.empty() || bytes + announced(*put_back_[n]) <= k_batch_bytes)) {
        bytes += announced(*put_back_[n]);
        batch.push_back(put_back_[n++]);
      }
      put_back_.erase(put_back_.begin(), put_back_.begin() + static_cast<std::ptrdiff_t>(n));
      return batch;
    }
    guard hold(job_->lock);
    while (next < rows.size() && batch.size() < k_batch_messages) {
      const search_hit &row = rows[next];
      // Skip exactly what the archive holds.
      if (job_->resume && resume_has(job_, row.uid)) {
        ++next;
        continue;
      }
      if (!batch.empty() && bytes + announced(row) > k_batch_bytes) break;
      batch.push_back(&row);
      bytes += announced(row);
      ++next;
    }
    return batch;
  }

  // One command in flight: its rows in UID order and what came back for each.
  struct request {
    std::vector<const search_hit *> rows;
    std::vector<char> got;  // stored or handed on to the retry
    std::vector<char> held; // arrived after a pause or cancel was asked for
    std::vector<char> odd;  // answered without a body: not a vanished message
    long long bytes = 0;
    bool second_try = false;
    // A body of a UID this command did not ask for came back: the server
    // is confused, so a row without an answer is tried again, not given up
    // as expunged.
    bool stray = false;
  };

  void submit(std::vector<const search_hit *> rows, bool second_try) {
    auto req = std::make_shared<request>();
    req->rows = std::move(rows);
    // The UID set and the lookup of each answer want them ascending.
    std::sort(req->rows.begin(), req->rows.end(),
              [](const search_hit *a, const search_hit *b) { return a->uid < b->uid; });
    req->got.assign(req->rows.size(), 0);
    req->odd.assign(req->rows.size(), 0);
    req->held.assign(req->rows.size(), 0);
    req->second_try = second_try;
    for (const search_hit *r : req->rows) req->bytes += announced(*r);
    in_flight_bytes_ += req->bytes;
    session::command c;
    c.line = "UID FETCH " + uid_set(req->rows) + " (BODY.PEEK[])";
    c.uid_lo = req->rows.front()->uid;
    c.uid_hi = req->rows.back()->uid;
    c.on_data = [this, req](response &r) { on_fetch(*req, r); };
    c.on_done = [this, req](int st, const std::string &) { on_done(*req, st); };
    s_.submit(std::move(c));
  }

  // A FETCH record routed here: the body of one of the rows, stored at once.
  void on_fetch(request &req, response &r) {
    fetch_data f;
    if (!parse_fetch(r, f) || !f.has_uid) return;
    auto it = std::lower_bound(req.rows.begin(), req.rows.end(), f.uid,
                               [](const search_hit *h, std::uint32_t u) { return h->uid < u; });
    const fetch_data::section *b = f.find("]");
    bool has_body = b && !b->nil && !b->bytes.empty();
    // A UID this command did not ask for: without a body, a flag change
    // the server reports unasked; with one, an answer gone astray.
    if (it == req.rows.end() || (*it)->uid != f.uid) {
      if (has_body) req.stray = true;
      return;
    }
    std::size_t i = static_cast<std::size_t>(it - req.rows.begin());
    if (req.got[i] || req.held[i]) return;
    if (!has_body) {
      req.odd[i] = 1;
      return;
    }
    // Once a pause or cancel is asked for, nothing more is stored: the
    // rest of the window is only read off the wire, and a pause fetches
    // these rows again when it ends.
    if (job_->pause_requested || job_->cancel_requested) {
      req.held[i] = 1;
      return;
    }
    req.got[i] = 1;
    std::string body;
    // The literal moves instead of being copied when it is the only one.
    if (r.literals.size() == 1 && b->bytes.data() == r.literals[0].data() &&
        b->bytes.size() == r.literals[0].size())
      body = std::move(r.literals[0]);
    else
      body.assign(b->bytes);
    store(*req.rows[i], body, req.second_try);
  }

  void on_done(request &req, int st) {
    in_flight_bytes_ -= req.bytes;
    if (st < 0) {
      failed_ = true;  // the connection's reason is in last_error
      return;
    }
    for (std::size_t i = 0; i < req.rows.size(); ++i) {
      if (req.got[i]) continue;
      if (req.held[i] || ((job_->pause_requested || job_->cancel_requested) && !req.second_try)) {
        put_back_.push_back(req.rows[i]);
        continue;
      }
      if (st == 0 && !req.odd[i] && !req.stray) {
        // The server answered without the message: it was expunged.
        job_->vanished.fetch_add(1);
        guard hold(job_->lock);
        if (job_->total > 0) --job_->total;
        continue;
      }
      if (req.second_try) {
        set_err("cannot fetch message uid %u", req.rows[i]->uid);
        failed_ = true;
      } else {
        retry_.push_back(req.rows[i]);
      }
    }
  }

  void store(const search_hit &row, const std::string &body, bool second_try) {
    {
      guard hold(job_->lock);
      char uid[32];
      std::snprintf(uid, sizeof uid, "  uid=%u  ", row.uid);
      copy_cut(job_->current, sizeof job_->current,
               std::string(job_->folder) + uid + row.subject);  // cut at 1023
    }
    char path[k_path_cap];
    if (store_message(job_, &row, body.data(), body.size(), path) != 0) {
      if (second_try) failed_ = true;
      else retry_.push_back(&row);
      return;
    }
    {
      guard hold(job_->lock);
      ++job_->done;
      job_->bytes += announced(row);
      if (static_cast<long long>(row.uid) > job_->last_uid) job_->last_uid = row.uid;
    }
    sample_speed(job_);
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
  bool failed_ = false;
  long long in_flight_bytes_ = 0;
  std::vector<const search_hit *> retry_;
  // Rows whose bodies a pause left unstored, in UID order; fetched first
  // once the job goes on.
  std::vector<const search_hit *> put_back_;
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

// The learned run: the folder's UIDs less what the archive holds, rows and
// bodies fetched part by part.
ending run_learned(export_job *job, session &sess, long long exists) {
  std::vector<std::uint32_t> uids;
  if (selected_uids(sess, exists, uids) != 0) return ending::failed;
  {
    guard hold(job->lock);
    // What the archive holds of this generation (the completed list, pruned
    // to the manifest's intact files) is not asked for again.
    std::erase_if(uids, [job](std::uint32_t uid) { return resume_has(job, uid) != 0; });
    job->total = uids.size();
    job->bytes_todo = 0;
    resume_write(job);
  }
  auto cancelled = [job] { return job->cancel_requested.load() != 0; };
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
    if (search_uid_rows(sess, part, *rows, cancelled) != 0) return ending::failed;
    if (cancelled()) return ending::cancelled;
    {
      guard hold(job->lock);
      // Messages expunged since the UIDs were learned have no row.
      job->total -= part.size() - rows->size();
      for (const search_hit &row : rows->rows()) job->bytes_todo += announced(row);
    }
    job->result = std::move(rows);
    fetcher f(job, sess);
    ending how = f.run();
    if (how != ending::normal) return how;
  }
  return ending::normal;
}

ending run(export_job *job) {
  session &sess = main_session();
  mailbox_state mb;
  // The search that made the rows has usually just opened the folder.
  if (sess.open(job->folder, &mb) != 0) return ending::failed;
  {
    guard hold(job->lock);
    settle_generation(job, mb.uidvalidity);
  }
  // The completed list is the worker's alone while the job runs.
  if (job->manifest) {
    // Without a manifest nothing says which files are archived messages.
    bool listed = plat::path_exists(manifest_path(job->dir).c_str());
    job->names_indexed = manifest_prune(job, std::max(job->result->size(), job->completed.size())) && listed;
  }
  else if (job->resume) drop_damaged_without_manifest(job);
  mkdirs(job->dir);
  if (job->mbox && !open_mbox(job)) return ending::failed;
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
  return how;
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
  job->completed.clear();
  job->completed.shrink_to_fit();
  job->state = final_state;
  job->active = 0;
}

}  // namespace kq
