// The run's sequence: the plan read, the target opened, the ledger's word
// taken, then batch after batch of the archive's files read, checked
// against their digests, looked for on the server where it may hold them
// already, and appended.
#include <algorithm>
#include <atomic>
#include <deque>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "archive/sha256_file.h"
#include "base/error.h"
#include "base/mutf7.h"
#include "base/sha256.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/imap.h"
#include "restore/run.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

std::atomic<void (*)(std::uint64_t)> g_settled_hook{nullptr};
std::atomic<std::size_t> g_batch_items{0}, g_batches_ahead{0}, g_multi_items{0};

std::size_t or_default(const std::atomic<std::size_t> &v, std::size_t fallback) {
  std::size_t n = v.load();
  return n ? n : fallback;
}

}  // namespace

std::size_t restore_ifind(const std::string &text, const char *word) {
  const char *at = kq_strcasestr(text.c_str(), word);
  return at ? static_cast<std::size_t>(at - text.c_str()) : std::string::npos;
}

std::string restore_hex_digest(const void *data, std::size_t n) {
  unsigned char sum[32];
  sha256::digest(data, n, sum);
  char hex[65];
  digest_hex(sum, hex);
  return hex;
}

bool restore_run::load_file(restore_pending &p) {
  restore_item &it = *p.item;
  plat::contained_file f;
  plat::contained_file::status st = f.open(job_.opt.dir.c_str(), it.file);
  if (st != plat::contained_file::ok) {
    fail(it, st == plat::contained_file::absent ? "file missing: " + it.file : "cannot read " + it.file);
    return false;
  }
  long long size = f.size();
  if (size < 0 || size > 0x7FFFFFFFLL) {
    fail(it, "cannot read " + it.file);
    return false;
  }
  p.size = size;
  p.streamed = stream_ok_ && size > k_restore_stream_over;
  std::string digest;
  if (p.streamed) {
    // Only hashed here, a piece at a time: it is read again as it goes out.
    f.close();
    std::vector<unsigned char> piece(k_hash_chunk);
    char hex[65];
    if (sha256_file_hex(job_.opt.dir.c_str(), it.file, piece.data(), hex) != plat::contained_file::ok) {
      fail(it, "cannot read " + it.file);
      return false;
    }
    digest = hex;
  } else {
    std::string &bytes = p.bytes;
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      long long n = f.read(bytes.data() + got, bytes.size() - got);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    if (got != bytes.size()) {
      fail(it, "cannot read " + it.file);
      return false;
    }
    digest = restore_hex_digest(bytes.data(), bytes.size());
  }
  // The bytes must be the ones archived: a changed file is not the message.
  if (digest != it.sha256) {
    fail(it, "sha256 does not match the manifest: " + it.file);
    return false;
  }
  return true;
}

void restore_run::fail(const restore_item &it, const std::string &reason) {
  {
    guard hold(job_.lock);
    job_.failures.push_back({it.uid, reason});
  }
  settle();
}

bool restore_run::choose_target(const std::string &archived) {
  if (job_.opt.folder.empty()) {
    if (archived.empty()) {
      set_err("the manifest of %s names no folder", job_.opt.dir.c_str());
      return false;
    }
    std::string name = restore_target_name(job_.opt.prefix, archived);
    if (name.size() > 1000) {
      set_err("folder name too long");
      return false;
    }
    job_.opt.folder = std::move(name);
  }
  guard hold(job_.lock);
  job_.shown_folder = folder_display_name(job_.opt.folder);
  return true;
}

void restore_run::settle() {
  std::uint64_t n = ++job_.done;
  if (auto hook = g_settled_hook.load()) hook(n);
}

restore_end restore_run::run() {
  pace_.batch_items = or_default(g_batch_items, k_restore_batch_items);
  pace_.batches_ahead = or_default(g_batches_ahead, k_restore_batches_ahead);
  pace_.multi_items = or_default(g_multi_items, k_multi_items);
  std::string archived;
  if (!restore_plan(job_.opt.dir, items_, &archived)) return restore_end::failed;
  if (!choose_target(archived)) return restore_end::failed;
  {
    guard hold(job_.lock);
    job_.total = items_.size();
    long long todo = 0;
    for (const restore_item &it : items_) todo += it.size > 0 ? it.size : 0;
    job_.bytes_todo = todo;
  }
  session::stop_scope stop(s_, [this] { return job_.cancel_requested.load() != 0; });
  const conn_config &cfg = s_.config();
  server_ = cfg.host + ":" + decimal(static_cast<unsigned long long>(cfg.port)) + "/" + cfg.user;
  // However the run ends, the session opens the folder its own way last, so
  // what it takes to be open is what the server has open (the commands
  // here went past it); a failure there leaves it taking nothing to be
  // open. The run's own reason stays the reason.
  struct resync {
    session &s;
    const std::string &folder;
    ~resync() {
      std::string why = last_error();
      s.select(folder);
      set_err("%s", why.c_str());
    }
  } resync_at_end{s_, job_.opt.folder};
  if (!open_target()) return job_.cancel_requested ? restore_end::cancelled : restore_end::failed;
  literal_plus_ = s_.has_capability("LITERAL+");
  literal_minus_ = s_.has_capability("LITERAL-");
  multiappend_ = s_.has_capability("MULTIAPPEND");
  // Whatever the folder held before may be an earlier run's: every message
  // the ledger does not place there is looked for first.
  check_all_ = target_.exists > 0;
  stream_ok_ = literal_plus_ && !check_all_;

  std::set<std::pair<std::uint32_t, std::string>> done_here = ledger_done_here();

  std::size_t keep = s_.window();
  s_.set_window(k_restore_window);
  // Batches whose APPENDs are out, oldest first, and the bytes they hold.
  std::deque<std::vector<restore_pending>> flying;
  long long flying_bytes = 0;
  bool ok = true;
  auto finish_oldest = [&] {
    std::vector<restore_pending> &b = flying.front();
    // Past a failure the rest are still recorded for what the server took.
    ok = finish_batch(b) && ok;
    for (const restore_pending &p : b) flying_bytes -= static_cast<long long>(p.bytes.size());
    flying.pop_front();
    job_sample_speed(job_);
  };
  std::size_t next = 0, batches_sent = 0;
  restore_end how = restore_end::normal;
  while (ok && next < items_.size()) {
    // A pause leaves nothing in flight.
    if (job_.pause_requested)
      while (ok && !flying.empty()) finish_oldest();
    if (!ok) break;
    if (!job_wait_while_paused(job_)) {
      how = restore_end::cancelled;
      break;
    }
    std::vector<restore_pending> batch;
    long long batch_bytes = 0;
    std::size_t batch_items = k_restore_first_batch;
    for (std::size_t i = 0; i < batches_sent && batch_items < pace_.batch_items; ++i) batch_items *= 2;
    batch_items = std::min(batch_items, pace_.batch_items);
    // What is in flight counts against the batch's bytes: the run holds no
    // more of the archive in memory than one batch did alone (a message
    // larger than that goes in a batch of its own).
    while (next < items_.size() && batch.size() < batch_items &&
           (batch_bytes == 0 || flying_bytes + batch_bytes < k_restore_batch_bytes)) {
      restore_item &it = items_[next++];
      {
        guard hold(job_.lock);
        copy_cut(job_.current, sizeof job_.current, it.file);
      }
      if (done_here.count({it.uid, it.sha256})) {
        ++job_.present;
        job_.bytes += it.size > 0 ? it.size : 0;
        settle();
        continue;
      }
      restore_pending p;
      p.item = &it;
      if (!load_file(p)) continue;
      batch_bytes += static_cast<long long>(p.bytes.size());
      batch.push_back(std::move(p));
    }
    if (batch.empty()) continue;
    if (check_all_) {
      // The search must see what went before, and the messages found must
      // not be ones this run has just put there.
      while (ok && !flying.empty()) finish_oldest();
      ok = ok && examine_target() && check_present(batch) && leave_target();
      if (!ok) break;
      batch_bytes = 0;
      for (const restore_pending &p : batch) batch_bytes += static_cast<long long>(p.bytes.size());
    }
    submit_batch(batch);
    ++batches_sent;
    flying_bytes += batch_bytes;
    flying.push_back(std::move(batch));
    // Out on the wire now, not when an answer is next waited for: the
    // server stores these while the next batch is read.
    ok = s_.run_until_at_most(s_.outstanding()) && ok;
    while (ok && !flying.empty() &&
           (flying.size() >= pace_.batches_ahead || flying_bytes >= k_restore_ahead_bytes || next >= items_.size()))
      finish_oldest();
  }
  while (!flying.empty()) finish_oldest();
  if (!ok && how == restore_end::normal) how = job_.cancel_requested ? restore_end::cancelled : restore_end::failed;
  s_.set_window(keep);
  ledger_.close();
  return how;
}

void restore_set_settled_hook(void (*hook)(std::uint64_t)) { g_settled_hook = hook; }

void restore_set_tuning(const restore_tuning &t) {
  g_batch_items = t.batch_items;
  g_batches_ahead = t.batches_ahead;
  g_multi_items = t.multi_items;
}

void restore_worker(restore_job &job) {
  job_start_clock(job);
  restore_end how;
  try {
    restore_run r(job, main_session());
    how = r.run();
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    how = restore_end::failed;
  } catch (...) {
    set_err("internal error");
    how = restore_end::failed;
  }
  std::int32_t final_state = k_job_done;
  if (how == restore_end::failed) final_state = k_job_error;
  else if (how == restore_end::cancelled || job.cancel_requested) final_state = k_job_stopped;
  else {
    // Anything left behind makes the run a failure that names it.
    guard hold(job.lock);
    if (!job.failures.empty()) {
      std::string text = "not restored: uid";
      for (std::size_t i = 0; i < job.failures.size() && i < 20; ++i)
        text += (i ? ", " : " ") + decimal(job.failures[i].uid);
      if (job.failures.size() > 20) text += ", ...";
      text += " (" + job.failures.front().reason + (job.failures.size() > 1 ? ", ..." : "") + ")";
      set_err("%s", text.c_str());
      final_state = k_job_error;
    }
    if (final_state == k_job_done) job.current[0] = '\0';
  }
  job.hold.release();
  job_finish(job, final_state);
}

}  // namespace kq
