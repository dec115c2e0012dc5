#include "export/worker.h"

#include <cstdio>
#include <iterator>
#include <list>
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
#include "search/search_table.h"

namespace kq {

namespace {

using guard = std::lock_guard<plat::exclusive_lock>;

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
  for (const search_hit &row : job->rows) {
    if (job->resume && resume_has(job, row.uid)) continue;
    ++total;
    todo += row.bytes > 0 ? row.bytes : 0;
  }
  job->total = total;
  job->bytes_todo = todo;
}

namespace {

constexpr std::size_t k_fetch_window = 32;                  // body fetches in flight
constexpr long long k_window_bytes = 32LL << 20;             // their announced sizes
constexpr std::uint64_t k_resume_every_ms = 2000;            // resume.json rewrite pacing

// Fetches the job's rows with a window of commands in flight and hands each
// body to the archive writer as it arrives.
class fetcher {
 public:
  fetcher(export_job *job, session &s) : job_(job), s_(s) {}

  ending run() {
    s_.set_window(k_fetch_window);
    std::size_t next = 0;
    const std::vector<search_hit> &rows = job_->rows;
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
      // Fill the window.
      while (next < rows.size() && s_.outstanding() < k_fetch_window &&
             in_flight_bytes_ < k_window_bytes && !failed_) {
        const search_hit &row = rows[next++];
        {
          guard hold(job_->lock);
          // Skip exactly what the archive holds.
          if (job_->resume && resume_has(job_, row.uid)) continue;
        }
        submit(row, false);
      }
      if (s_.outstanding() == 0 && retry_.empty()) break;
      if (s_.outstanding() == 0 && !retry_.empty()) {
        // A failed message is tried once more after a pause.
        if (!wait_before_retry(job_)) return ending::cancelled;
        std::vector<const search_hit *> again;
        again.swap(retry_);
        for (const search_hit *r : again) submit(*r, true);
        continue;
      }
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

  void submit(const search_hit &row, bool second_try) {
    // One slot per command in flight, freed when it completes; a list keeps
    // the other slots where they are meanwhile.
    slots_.emplace_back();
    auto slot_it = std::prev(slots_.end());
    slot *sl = &*slot_it;
    std::string *body = &sl->body;
    bool *got = &sl->got;
    // Something came back that was not this message's body: a FETCH of
    // another UID, or of this one without a body. Not a vanished message.
    bool *odd = &sl->odd;
    std::uint32_t uid = row.uid;
    session::command c;
    c.line = "UID FETCH " + decimal(uid) + " (BODY.PEEK[])";
    c.uid_lo = c.uid_hi = uid;
    c.on_data = [body, got, odd, uid](response &r) {
      fetch_data f;
      if (*got || !parse_fetch(r, f)) return;
      // Only the record that names this UID carries its body.
      if (!f.has_uid || f.uid != uid) {
        *odd = true;
        return;
      }
      const fetch_data::section *b = f.find("]");
      if (!b || b->nil) {
        *odd = true;
        return;
      }
      // The literal moves instead of being copied when it is the only one.
      if (r.literals.size() == 1 && b->bytes.data() == r.literals[0].data() &&
          b->bytes.size() == r.literals[0].size())
        *body = std::move(r.literals[0]);
      else
        body->assign(b->bytes);
      *got = true;
    };
    long long announced = row.bytes > 0 ? row.bytes : 0;
    in_flight_bytes_ += announced;
    const search_hit *hit = &row;
    c.on_done = [this, slot_it, body, got, odd, hit, announced, second_try](int st, const std::string &) {
      in_flight_bytes_ -= announced;
      struct release {
        fetcher *f;
        std::list<slot>::iterator it;
        ~release() { f->slots_.erase(it); }
      } done_with_slot{this, slot_it};
      if (st < 0) {
        failed_ = true;  // the connection's reason is in last_error
        return;
      }
      if (st == 0 && !*got && !*odd) {
        // The server answered without the message: it was expunged.
        job_->vanished.fetch_add(1);
        guard hold(job_->lock);
        if (job_->total > 0) --job_->total;
        return;
      }
      if (st != 0 || body->empty()) {
        if (second_try) {
          set_err("cannot fetch message uid %u", hit->uid);
          failed_ = true;
        } else {
          retry_.push_back(hit);
        }
        return;
      }
      store(*hit, *body, second_try);
    };
    s_.submit(std::move(c));
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
      job_->bytes += row.bytes > 0 ? row.bytes : 0;
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

  struct slot {
    std::string body;
    bool got = false;
    bool odd = false;
  };

  export_job *job_;
  session &s_;
  std::list<slot> slots_;
  bool failed_ = false;
  long long in_flight_bytes_ = 0;
  std::vector<const search_hit *> retry_;
  std::uint64_t last_resume_ms_ = plat::tick_ms();
};

// Without a manifest the row tells where a completed message's file is and
// how long it is: one that is gone or of another length is fetched again.
void drop_damaged_without_manifest(export_job *job) {
  bool dated = naming_is_dated(job->naming);
  std::uint64_t uv = name_uidvalidity(job);
  for (const search_hit &row : job->rows) {
    if (!resume_has(job, row.uid)) continue;
    std::string path = std::string(job->dir) + "/" + relative_name(dated, row.date.c_str(), row.uid, uv);
    long long size = plat::file_size(path.c_str());
    if (size >= 0 && (row.bytes <= 0 || size == row.bytes)) continue;
    if (size >= 0) plat::file_replace(path.c_str(), (path + ".damaged").c_str());
    std::erase(job->completed, row.uid);
  }
}

ending run(export_job *job) {
  session &sess = main_session();
  mailbox_state mb;
  if (sess.select(job->folder, &mb) != 0) return ending::failed;
  {
    guard hold(job->lock);
    settle_generation(job, mb.uidvalidity);
  }
  // The completed list is the worker's alone while the job runs.
  if (job->manifest) {
    // Without a manifest nothing says which files are archived messages.
    bool listed = plat::path_exists(manifest_path(job->dir).c_str());
    job->names_indexed = manifest_prune(job, job->rows.size()) && listed;
  }
  else if (job->resume) drop_damaged_without_manifest(job);
  mkdirs(job->dir);
  if (job->mbox && !open_mbox(job)) return ending::failed;

  {
    guard hold(job->lock);
    count_work(job);
    // Records where this run starts, so a run killed before its first
    // regular update still leaves all.mbox cut back to this point.
    resume_write(job);
  }
  std::size_t keep = sess.window();
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
