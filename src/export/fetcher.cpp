// Fetching the bodies of a search result's rows and storing each as it
// arrives.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "connection/reopen.h"
#include "connection/uid_fetch.h"
#include "export/export_one.h"
#include "export/run.h"
#include "export/spool.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

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
  fetcher(export_job &job, session &s) : job_(job), s_(s) {}

  ending run() {
    const std::vector<search_hit> &rows = job_.result->rows();
    std::vector<std::uint32_t> uids;
    {
      guard hold(job_.lock);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        // Skip exactly what the archive holds.
        if (job_.opt.resume && ledger_has(job_.completed, rows[i].uid)) continue;
        uids.push_back(rows[i].uid);
        index_.push_back(i);
      }
    }
    stored_.assign(uids.size(), stored_at{});
    uid_fetch_plan plan;
    // Gmail keeps labels apart from flags; they come with the body.
    plan.items = s_.has_capability("X-GM-EXT-1") ? "(FLAGS X-GM-LABELS BODY.PEEK[])" : "(FLAGS BODY.PEEK[])";
    plan.per_command = k_batch_messages;
    plan.bytes_per_command = k_batch_bytes;
    plan.bytes_in_flight = k_window_bytes;
    plan.window = k_fetch_window;
    uid_fetch f(s_, plan, [this](std::uint32_t uid, response &r, const fetch_data &d, bool again, std::string &why) {
      return on_record(uid, r, d, again, why);
    });
    uids_ = &uids;
    // Large bodies go to disk as they arrive, in the directory their file
    // goes to (the Maildir's own tmp/), so storing one is a rename.
    s_.set_literal_sinks(spool_factory(job_.opt.maildir ? job_.opt.dir + "/tmp" : job_.opt.dir));
    struct sinks_off {
      session &s;
      ~sinks_off() { s.set_literal_sinks(nullptr); }
    } sinks_off{s_};
    f.set_weight([this, &rows](std::uint32_t uid) { return announced(rows[index_[slot(uid)]]); });
    f.set_control(
        [this] { return job_.cancel_requested ? 2 : job_.pause_requested ? 1 : 0; },
        [this] {
          maybe_write_resume(true);
          return job_wait_while_paused(job_);
        });
    std::string folder = job_.folder;
    std::uint64_t generation = job_.gen.uidvalidity;
    f.set_reconnect([this, folder, generation] {
      if (!reopen_folder(s_, folder, generation)) return false;
      job_.reconnects.fetch_add(1);
      return true;
    });
    f.set_tick([this] {
      maybe_write_resume(false);
      job_sample_speed(job_);
    });
    f.set_on_gone([this](std::uint32_t) {
      job_.vanished.fetch_add(1);
      guard hold(job_.lock);
      if (job_.total > 0) --job_.total;
    });
    unsigned retries_before = f.retries();
    uid_fetch::end e = f.run(uids);
    job_.retries.fetch_add(f.retries() - retries_before);
    switch (e) {
      case uid_fetch::end::complete: return ending::normal;
      case uid_fetch::end::stopped: return ending::cancelled;
      case uid_fetch::end::lost: return ending::failed;  // the connection's reason is in last_error
      case uid_fetch::end::incomplete: break;
    }
    {
      guard hold(job_.lock);
      job_.unfetched.insert(job_.unfetched.end(), f.failed().begin(), f.failed().end());
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
    if (b && b->sink) return on_spooled(uid, *b, d, again, why);
    if (!b || b->nil || b->bytes.empty()) return fetch_take::incomplete;
    std::size_t k = slot(uid);
    if (again) {
      body_print p = print_of(b->bytes);
      if (p.size == stored_[k].print.size && p.hash == stored_[k].print.hash) return fetch_take::taken;
      why = "the server sent two different bodies for uid " + decimal(uid);
      take_back(uid, stored_[k]);
      return fetch_take::refused;
    }
    const search_hit &row = job_.result->rows()[index_[k]];
    stored_[k].print = print_of(b->bytes);
    std::string body;
    // The literal moves instead of being copied when it is the only one.
    if (r.literals.size() == 1 && b->bytes.data() == r.literals[0].data() &&
        b->bytes.size() == r.literals[0].size())
      body = std::move(r.literals[0]);
    else
      body.assign(b->bytes);
    std::vector<std::string> flags = kept_flags(d);
    const std::vector<std::string> *labels = d.has_labels ? &d.labels : nullptr;
    if (!store(row, [&](char *path, const std::vector<std::string> *fl) {
          return store_message(job_, row, body.data(), body.size(), path, fl, labels);
        }, stored_[k], d.has_flags ? &flags : nullptr)) {
      why = last_error();
      if (local_error_.empty()) local_error_ = why;
      return fetch_take::incomplete;
    }
    return fetch_take::taken;
  }

  // on_record for a body that went to disk as it arrived.
  fetch_take on_spooled(std::uint32_t uid, const fetch_data::section &b, const fetch_data &d, bool again,
                        std::string &why) {
    auto *sp = dynamic_cast<body_spool *>(b.sink);
    if (!sp || sp->size() == 0) return fetch_take::incomplete;
    std::size_t k = slot(uid);
    body_print p{static_cast<std::size_t>(sp->size()), std::hash<std::string>{}(sp->sha256_hex())};
    if (again) {
      if (p.size == stored_[k].print.size && p.hash == stored_[k].print.hash) return fetch_take::taken;
      why = "the server sent two different bodies for uid " + decimal(uid);
      take_back(uid, stored_[k]);
      return fetch_take::refused;
    }
    if (sp->failed()) {
      why = sp->error();
      if (local_error_.empty()) local_error_ = why;
      return fetch_take::incomplete;
    }
    stored_[k].print = p;
    const search_hit &row = job_.result->rows()[index_[k]];
    std::vector<std::string> flags = kept_flags(d);
    const std::vector<std::string> *labels = d.has_labels ? &d.labels : nullptr;
    if (!store(row, [&](char *path, const std::vector<std::string> *fl) {
          return store_spooled_message(job_, row, *sp, path, fl, labels);
        }, stored_[k], d.has_flags ? &flags : nullptr)) {
      why = last_error();
      if (local_error_.empty()) local_error_ = why;
      return fetch_take::incomplete;
    }
    return fetch_take::taken;
  }

  // \Recent tells about this session, not the message: another client
  // or a second run would see it differently.
  static std::vector<std::string> kept_flags(const fetch_data &d) {
    std::vector<std::string> flags;
    if (d.has_flags)
      for (const std::string &f : d.flags)
        if (!ascii_ieq(f, "\\Recent")) flags.push_back(f);
    return flags;
  }

  // Two different messages under one UID: neither can be trusted. The one
  // stored goes out of the archive (its file set aside, its all.mbox record
  // cut when nothing came after it) and stops counting as archived, so a
  // later run fetches it again.
  void take_back(std::uint32_t uid, const stored_at &at) {
    if (!at.path.empty()) plat::file_replace(at.path.c_str(), (at.path + ".damaged").c_str());
    if (at.mbox_to >= 0 && job_.archive.mbox_file.is_open() && job_.archive.mbox_file.size() == at.mbox_to)
      job_.archive.mbox_file.truncate(at.mbox_from);
    guard hold(job_.lock);
    std::erase(job_.completed, uid);
  }

  // Stores one body through `put` (store_message or its spooled twin),
  // keeping where it went and the run's counts.
  template <class Put>
  bool store(const search_hit &row, Put put, stored_at &at, const std::vector<std::string> *flags) {
    {
      guard hold(job_.lock);
      char uid[32];
      std::snprintf(uid, sizeof uid, "  uid=%u  ", row.uid);
      copy_cut(job_.current, sizeof job_.current,
               std::string(job_.folder) + uid + row.subject);  // cut at 1023
    }
    char path[k_path_cap];
    long long mbox_from = job_.archive.mbox_file.is_open() ? job_.archive.mbox_file.size() : -1;
    if (put(path, flags) != 0) return false;
    at.path = path;
    at.mbox_from = mbox_from;
    at.mbox_to = job_.archive.mbox_file.is_open() ? job_.archive.mbox_file.size() : -1;
    {
      guard hold(job_.lock);
      ++job_.done;
      job_.bytes += announced(row);
      if (static_cast<long long>(row.uid) > job_.last_uid) job_.last_uid = row.uid;
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
    guard hold(job_.lock);
    save_resume(job_);
  }

  export_job &job_;
  session &s_;
  const std::vector<std::uint32_t> *uids_ = nullptr;
  std::vector<std::size_t> index_;   // row of each UID asked for
  std::vector<stored_at> stored_;    // each body stored in this run
  std::string local_error_;          // the first failure to store a body here
  std::uint64_t last_resume_ms_ = plat::tick_ms();
};

}  // namespace

ending fetch_bodies(export_job &job, session &s) {
  fetcher f(job, s);
  return f.run();
}

}  // namespace kq
