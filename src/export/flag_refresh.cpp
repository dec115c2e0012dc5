// Bringing the recorded flags of stored messages up to date: one pipelined
// UID FETCH of their flags (only those changed since the last run where the
// server keeps mod-sequences), a flag line for each that changed.
#include "export/flag_refresh.h"

#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive/manifest.h"
#include "base/error.h"
#include "base/strcase.h"
#include "connection/fetch_data.h"
#include "connection/uid_fetch.h"
#include "connection/uid_search.h"

namespace kq {

namespace {

// Commands in flight while flags are asked for: each answer is small, so a
// handful keeps a far server busy.
constexpr std::size_t k_refresh_window = 8;

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

// \Recent tells about this session, not the message (as when the body is
// stored).
std::vector<std::string> lasting_flags(const fetch_data &d) {
  std::vector<std::string> out;
  for (const std::string &f : d.flags)
    if (!ascii_ieq(f, "\\Recent")) out.push_back(f);
  return out;
}

class flag_refresh {
 public:
  flag_refresh(export_job &job, session &sess, bool labels) : job_(job), s_(sess), labels_(labels) {}

  // The latest flags the manifest records for the current generation.
  bool load() {
    std::vector<manifest_message> all;
    std::uint64_t base = job_.gen.base ? job_.gen.base : job_.gen.uidvalidity;
    if (manifest_latest_flags(job_.opt.dir.c_str(), base, all) != 0) return false;
    for (manifest_message &m : all) {
      if (m.generation != job_.gen.uidvalidity) continue;
      recorded &r = recorded_[m.uid];
      r.has_flags = m.has_flags;
      r.flags = sorted(std::move(m.flags));
      r.has_labels = m.has_labels;
      r.labels = sorted(std::move(m.labels));
    }
    return true;
  }

  // Asks for the flags of `uids` (ascending), with `modifier` after the
  // items; true when every command completed OK and every change found was
  // written.
  bool run(const std::vector<std::uint32_t> &uids, const std::string &modifier) {
    std::string items = labels_ ? " (UID FLAGS X-GM-LABELS)" : " (UID FLAGS)";
    std::string head = "UID FETCH ";
    std::size_t fixed = k_tag_room + head.size() + items.size() + modifier.size();
    std::size_t room = k_line_octets > fixed ? k_line_octets - fixed : 16;
    std::size_t keep = s_.window();
    s_.set_window(k_refresh_window);
    failed_ = refused_ = false;
    bool ok = true;
    for (std::size_t at = 0; at < uids.size() && ok;) {
      std::size_t n = uid_set_fit(uids.data() + at, uids.size() - at, uids.size() - at, room);
      session::command c;
      c.line = head + uid_set_text(uids.data() + at, n) + items + modifier;
      c.uid_lo = uids[at];
      c.uid_hi = uids[at + n - 1];
      c.on_data = [this](response &r) { on_record(r); };
      c.on_done = [this](int status, const std::string &text) {
        if (status == 0 || failed_) return;
        failed_ = true;
        refused_ = status > 0;
        if (refused_) set_err("the server refused the flags of stored messages: %s", text.c_str());
      };
      s_.submit(std::move(c));
      at += n;
      // Commands are made as the window frees, not all at once.
      ok = s_.run_until_at_most(2 * k_refresh_window);
    }
    ok = s_.drain() && ok;
    s_.set_window(keep);
    if (!write_error_.empty()) set_err("%s", write_error_.c_str());
    return ok && !failed_ && write_error_.empty();
  }

  // The last run failed because the server said NO or BAD, not because
  // the connection went.
  bool refused() const { return refused_ && s_.usable(); }

 private:
  struct recorded {
    bool has_flags = false;
    std::vector<std::string> flags;  // sorted: servers need not keep an order
    bool has_labels = false;
    std::vector<std::string> labels;
  };

  void on_record(response &r) {
    fetch_data d;
    if (!parse_fetch(r, d) || !d.has_uid || !d.has_flags || !write_error_.empty()) return;
    auto it = recorded_.find(d.uid);
    // A UID the archive does not hold of this generation: nothing to update.
    if (it == recorded_.end()) return;
    recorded &rec = it->second;
    std::vector<std::string> flags = lasting_flags(d);
    std::vector<std::string> now = sorted(flags);
    bool with_labels = labels_ && d.has_labels;
    std::vector<std::string> labels_now = with_labels ? sorted(d.labels) : std::vector<std::string>{};
    bool same = rec.has_flags && rec.flags == now &&
                (!with_labels || (rec.has_labels && rec.labels == labels_now));
    if (same) return;
    std::string line;
    manifest_flag_fields f;
    f.uid = d.uid;
    f.folder = job_.folder;
    f.uidvalidity = job_.gen.uidvalidity;
    f.flags = &flags;
    // Labels the server did not send now stay as recorded: only a list
    // that came says what they are.
    std::vector<std::string> keep_labels = rec.labels;
    if (with_labels) f.labels = &d.labels;
    else if (rec.has_labels) f.labels = &keep_labels;
    f.ts_flags = plat::time_now();
    manifest_format_flag_line(line, f);
    if (!manifest_append(job_.archive.manifest_file, job_.opt.dir.c_str(), line)) {
      write_error_ = last_error();
      return;
    }
    // A second answer for the UID compares with what was just written.
    rec.has_flags = true;
    rec.flags = std::move(now);
    if (with_labels) {
      rec.has_labels = true;
      rec.labels = std::move(labels_now);
    }
  }

  export_job &job_;
  session &s_;
  bool labels_;
  std::unordered_map<std::uint32_t, recorded> recorded_;
  bool failed_ = false;
  bool refused_ = false;
  std::string write_error_;
};

}  // namespace

refresh_end refresh_flags(export_job &job, session &sess, mailbox_state &mb) {
  bool condstore = sess.has_capability("CONDSTORE") || sess.has_capability("QRESYNC");
  // The session may hold the folder from a selection made without
  // CONDSTORE (a pipelined EXAMINE): select it again to learn the
  // mailbox's HIGHESTMODSEQ.
  if (condstore && mb.highestmodseq == 0 && !mb.nomodseq) {
    mailbox_state again;
    if (sess.select(job.folder, &again) != 0) return refresh_end::failed;
    // Another generation now: the UIDs the job is about to ask for name
    // other messages, so the run must not go on.
    if (again.uidvalidity != mb.uidvalidity) {
      set_err("folder %s was created again while it was opened (UIDVALIDITY %llu, now %llu)", job.folder,
              mb.uidvalidity, again.uidvalidity);
      return refresh_end::folder_changed;
    }
    mb = again;
  }
  std::uint64_t now = condstore && !mb.nomodseq ? mb.highestmodseq : 0;
  std::vector<std::uint32_t> stored;
  {
    plat::lock_guard hold(job.lock);
    stored = job.completed;
  }
  try {
    if (!stored.empty()) {
      // Nothing changed in the folder since the flags were last brought up
      // to date: no question to ask.
      if (job.modseq != 0 && now == job.modseq) return refresh_end::done;
      flag_refresh refresh(job, sess, sess.has_capability("X-GM-EXT-1"));
      if (!refresh.load()) return refresh_end::failed;
      // A mod-sequence below the recorded one means the server started
      // counting again: every flag is asked for.
      bool since = job.modseq != 0 && now > job.modseq;
      std::string modifier = since ? " (CHANGEDSINCE " + std::to_string(job.modseq) + ")" : "";
      if (!refresh.run(stored, modifier)) {
        // A server that keeps mod-sequences yet refuses CHANGEDSINCE here
        // still answers the plain question.
        if (!since || !refresh.refused() || !refresh.run(stored, "")) return refresh_end::failed;
      }
    }
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return refresh_end::failed;
  }
  if (job.cancel_requested) return refresh_end::failed;
  plat::lock_guard hold(job.lock);
  job.modseq = now;
  return refresh_end::done;
}

}  // namespace kq
