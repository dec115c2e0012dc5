// The batch thread: search each folder, export it, wait for the job, go on.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/text.h"
#include "batch/batch.h"
#include "batch/batch_ahead.h"
#include "archive/resume_file.h"
#include "connection/imap.h"
#include "connection/throttle.h"
#include "export/worker.h"
#include "job/thread_spawn.h"
#include "search/search.h"
#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

namespace {

struct lane_run;

// One connection of the run and the export job that works over it. The
// first lane is the library's session and export_record(), driven by the
// batch thread itself, so a run with one connection is what it always
// was; each further lane has a connection and a job record of its own and
// a thread of its own.
struct lane {
  int index = 0;
  session *sess = nullptr;
  export_job *job = nullptr;
  lane_run *run = nullptr;
  // Connections this lane made again after losing one.
  int reconnects_used = 0;
  // STATUS answers of the folders ahead, as this lane asked for them.
  std::vector<folder_look> looks;
  int looked_to = 0;
  // Lanes beyond the first: what they own, and the settings they log in
  // with (the first connection's, secrets wiped once used).
  std::unique_ptr<session> own_session;
  std::unique_ptr<export_job> own_job;
  conn_config cfg;
};

// What the lanes of one run share: the folders still to take, those a lane
// gave back, and how the run has gone so far.
struct lane_run {
  batch_state *b = nullptr;
  // The next folder in batch order that no lane has taken yet.
  int next KQ_GUARDED_BY(lock) = 0;
  plat::exclusive_lock lock;
  // Folders a lane lost its connection in and could not finish: another
  // lane takes them before anything new.
  std::vector<int> returned KQ_GUARDED_BY(lock);
  // Lanes working on a folder (one may yet give it back), and lanes that
  // may still take one.
  int busy KQ_GUARDED_BY(lock) = 0;
  int alive KQ_GUARDED_BY(lock) = 1;
  // Folders that failed on their own, and the reason of the first of them
  // in batch order.
  int failed KQ_GUARDED_BY(lock) = 0;
  int first_failed KQ_GUARDED_BY(lock) = -1;
  std::string first_failure KQ_GUARDED_BY(lock);
  // The run ends here (a cancel, or the last connection lost): no lane
  // takes another folder.
  std::atomic<bool> stop{false};
  // Lane threads that have not yet ended; the batch thread waits for none
  // left before it frees their lanes.
  std::atomic<int> threads{0};
  // Further lanes whose login has been tried (or that never started): they
  // log in one after another, so a server counting a user's connections
  // sees each before it is asked for the next, and refuses past its limit
  // rather than letting logins that arrive at once all in.
  std::atomic<int> logins_tried{0};
};

// Ends a failed run. The reason goes to the status's "error", where the
// host looks once it sees state 4 (and to this thread's last_error); the
// state is published last.
void fail(batch_state *b, const char *text) {
  batch_set_error(text);
  set_err("%s", text);
  b->state.store(k_batch_failed, std::memory_order_release);
}

// How one folder's turn ended.
enum class outcome {
  ok,            // exported (or nothing to export)
  folder_error,  // this folder failed; the batch goes on with the next
  unreadable,    // the server would not open it; passed over
  stop,          // the run ends here (cancelled, connection lost)
  retry,         // the connection was lost and made again: the folder once more
  given_back,    // this lane's connection is lost: another lane takes the folder
};

// Connections a run may make again after losing one between the commands
// of a folder's job (the job makes its own good within a folder).
constexpr int k_run_reconnects = 3;

// After a lost connection: connects again with the same configuration, a
// pause before each attempt (a cancel cuts it short). True when usable.
bool connect_again(lane &l) {
  batch_state *b = l.run->b;
  while (l.reconnects_used < k_run_reconnects) {
    int pause_ms = 500 << l.reconnects_used++;
    for (int waited = 0; waited < pause_ms; waited += 50) {
      if (b->cancel_requested) return false;
      plat::sleep_ms(50);
    }
    if (l.sess->reconnect() == 0) return true;
  }
  return false;
}

// A lane that lost its connection for good gives its folder back to the
// lanes still working, unless it is the last one: then nobody could take
// the folder and the run ends as a run on one connection does.
bool give_back(lane &l, int i) {
  lane_run &r = *l.run;
  plat::lock_guard hold(r.lock);
  if (r.alive <= 1) return false;
  --r.alive;
  r.returned.push_back(i);
  r.b->folder_state[i].store(k_folder_pending, std::memory_order_release);
  return true;
}

// Ends the run at folder i (a cancel): the folder shows as "error", the
// reason is the run's own.
outcome stopped(batch_state *b, int i, const char *what, const char *detail) {
  char text[512];
  std::snprintf(text, sizeof text, "%s %s %s", what, b->folders[i], detail);
  b->folder_state[i].store(k_folder_error, std::memory_order_release);
  fail(b, text);
  return outcome::stop;
}

// Records why folder i failed. While the connection still works the batch
// goes on with the other folders; a lost one is made again and the folder
// tried again (`retry`); without it every other folder would fail the same
// way, so the run ends.
outcome folder_failed(lane &l, int i, const char *what, const char *detail) {
  batch_state *b = l.run->b;
  // A cancel may close the connection under a command: that failure is
  // the cancel.
  if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
  char text[512];
  std::snprintf(text, sizeof text, "%s %s %s", what, b->folders[i], detail);
  batch_set_folder_error(i, text);
  if (l.sess->status() == 2) return outcome::folder_error;
  if (!b->cancel_requested && connect_again(l)) return outcome::retry;
  if (!b->cancel_requested && give_back(l, i)) return outcome::given_back;
  fail(b, text);
  return outcome::stop;
}

// Exports folder i into its subdirectory and waits for the job: the
// current search result, given rows (the folder's every message, fetched
// with its EXAMINE), or (learn) whatever the archive lacks.
outcome export_result(lane &l, int i, bool learn, search_result_ptr rows = nullptr) {
  batch_state *b = l.run->b;
  export_request req;
  req.opt = b->opt;
  req.opt.dir = b->opt.dir + "/" + b->subdirs[i];
  if (req.opt.dir.size() > k_dir_cap - 1) return folder_failed(l, i, "export", "failed: dir too long");
  // The job runs on this thread: when the call returns, it has ended.
  int rc = rows ? export_rows(*l.job, *l.sess, req.opt, std::move(rows))
           : learn ? export_folder_incremental(*l.job, *l.sess, req.opt, b->folders[i])
                   : export_start(req, true);
  if (rc != 0)
    return folder_failed(l, i, "export", (std::string("failed: ") + last_error()).c_str());
  int st = job_status(*l.job);
  if (st == k_job_done) return outcome::ok;
  if (st == k_job_stopped) return stopped(b, i, "export", "cancelled");
  return folder_failed(l, i, "export", (std::string("error: ") + last_error()).c_str());
}


// Opens folder i before anything else is asked of it. A folder from the
// server's own listing that the server then refuses to open (while the
// session stays logged in) is one the user may not read, as under an access
// list that shows it but grants no read right: passed over with the
// server's text. A folder the host named stays an error (it may be a
// misspelt name), and so does any failure that cost the connection, and a
// refusal for now (a busy server, a folder in use): a later run can read
// it, so this run must not call itself complete.
outcome open_folder(lane &l, int i, mailbox_state *st, bool examine_refused = false) {
  batch_state *b = l.run->b;
  const char *folder = b->folders[i];
  if (l.sess->select(folder, st, !examine_refused) == 0) return outcome::ok;
  std::string failure = std::string("failed: ") + last_error();
  if (!b->listed_by_server || l.sess->status() != 2) return folder_failed(l, i, "search", failure.c_str());
  // The session wrote "cannot open mailbox <folder>: <server's text>"; the
  // status keeps the server's part.
  std::string why = last_error();
  std::string head = std::string("cannot open mailbox ") + folder + ": ";
  if (why.starts_with(head)) why.erase(0, head.size());
  if (read_throttle(why).any() || why.find("[INUSE]") != std::string::npos)
    return folder_failed(l, i, "search", failure.c_str());
  batch_set_folder_unreadable(i, why.c_str());
  return outcome::unreadable;
}

// The search criteria of a folder's part that starts at uid_min (0: the
// first part); "" for every message. The day was checked at the start.
std::string part_criteria(const batch_state *b, unsigned long long uid_min) {
  // snprintf, not std::to_string: the latter leaves a template's static
  // table among the library's exported symbols.
  char text[80];
  const bool since = !b->since.empty();
  if (uid_min == 0)
    return since ? std::string("{\"since\":\"") + b->since + "\"}" : std::string();
  if (since)
    std::snprintf(text, sizeof text, "{\"since\":\"%s\",\"uid_min\":%llu}", b->since.c_str(), uid_min);
  else
    std::snprintf(text, sizeof text, "{\"uid_min\":%llu}", uid_min);
  return text;
}

// Rows of at most this many messages come with a folder's EXAMINE: the
// learned run fetches rows in parts of this size too.
constexpr long long k_rows_ahead_max = 10000;
// Up to this many, the rows come even when the archive holds most of them:
// a few kilobytes cost less than the two round trips of learning which
// UIDs the archive lacks.
constexpr long long k_rows_always = 64;
// Folders whose STATUS goes out in one burst.
constexpr int k_look_ahead = 16;

// Whether folder i's rows are fetched with its EXAMINE: all of them are
// needed when its archive holds nothing of the folder's current
// generation (a first run, or a folder made anew), and they are cheap for
// a small folder.
bool want_rows(batch_state *b, int i, const folder_look &look) {
  if (!look.known || look.messages <= 0 || look.messages > k_rows_ahead_max) return false;
  if (look.messages > search_state::instance().cap) return false;
  if (look.messages <= k_rows_always) return true;
  std::string dir = b->opt.dir + "/" + b->subdirs[i];
  resume_data held;
  resume_load_result r;
  try {
    r = resume_load(dir.c_str(), held);
  } catch (const std::bad_alloc &) {
    return false;
  }
  if (r == resume_load_result::absent) return true;
  if (r != resume_load_result::loaded) return false;
  if (held.has_folder && held.folder != b->folders[i]) return true;
  if (held.uidvalidity != 0 && look.uidvalidity != 0 && held.uidvalidity != look.uidvalidity) return true;
  return held.completed.empty();
}

// STATUS of the selectable folders from i on, up to k_look_ahead of them
// (and a last one left alone after them), into looks; a lost connection
// leaves them unknown (the folders' own commands then meet it). A folder
// on its own is not asked: its STATUS would cost a round trip of its own,
// where a burst's costs one for them all.
void look_from(lane &l, int i) {
  batch_state *b = l.run->b;
  std::vector<folder_look> &looks = l.looks;
  int &looked_to = l.looked_to;
  std::vector<std::string> names;
  std::vector<int> which;
  auto selectable = [b](int j) { return !(b->listed_by_server && b->noselect[j]); };
  int j = i;
  for (; j < b->folder_count && static_cast<int>(names.size()) < k_look_ahead; ++j) {
    if (!selectable(j)) continue;
    names.emplace_back(b->folders[j]);
    which.push_back(j);
  }
  int rest = 0, last = -1;
  for (int k = j; k < b->folder_count && rest < 2; ++k)
    if (selectable(k)) ++rest, last = k;
  if (rest == 1) {
    names.emplace_back(b->folders[last]);
    which.push_back(last);
    j = b->folder_count;
  }
  looked_to = j;
  if (names.size() < 2) return;
  std::vector<folder_look> got;
  look_ahead(*l.sess, names, got, k_look_ahead);
  for (std::size_t k = 0; k < which.size() && k < got.size(); ++k) looks[which[k]] = got[k];
}

// Searches and exports one folder. A search stops at the result table's
// capacity; a full table is followed by a search above its highest UID, so
// a large folder is exported in parts instead of being cut short.
outcome export_folder(lane &l, int i, const folder_look &look, bool *exported) {
  batch_state *b = l.run->b;
  const char *folder = b->folders[i];
  std::string criteria = part_criteria(b, 0);
  *exported = false;
  // With resume and a manifest the job learns which messages the archive
  // lacks and fetches only those: a run with nothing new costs a few
  // commands. Without a manifest, checking the stored files needs every
  // row, so the whole folder is searched; so it is with a day, which only
  // a search applies.
  if (b->opt.resume && b->opt.manifest && b->since.empty()) {
    if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
    // The server's own count: an empty folder has nothing to export and is
    // not opened at all.
    if (look.known && look.messages == 0) return outcome::ok;
    // Opened here, fresh, with its rows behind the EXAMINE when they are
    // worth it; the job finds it open and asks nothing again.
    prepared_folder ahead = prepare_folder(*l.sess, folder, want_rows(b, i, look));
    mailbox_state st = ahead.st;
    // A refusal (or a lost connection) is told apart as it always was.
    if (ahead.examine != 0)
      if (outcome o = open_folder(l, i, &st, ahead.examine > 0); o != outcome::ok) return o;
    if (st.exists <= 0) return outcome::ok;
    // Rows that are not known to be the whole folder are not used: the job
    // learns the folder's UIDs itself, as it does for large folders.
    outcome o = ahead.examine == 0 && ahead.rows_whole ? export_result(l, i, false, std::move(ahead.rows))
                                                       : export_result(l, i, true);
    *exported = o == outcome::ok;
    return o;
  }
  if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
  // The search opens it again; opening it first tells a folder the server
  // refuses from a search that failed.
  mailbox_state st;
  if (outcome o = open_folder(l, i, &st); o != outcome::ok) return o;
  for (;;) {
    if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
    if (search_folder(folder, criteria.empty() ? nullptr : criteria.c_str()) != 0) {
      // A cancel can cut the search short: then that is the reason.
      if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
      return folder_failed(l, i, "search", (std::string("failed: ") + last_error()).c_str());
    }
    search_result_ptr found = current_result();
    std::size_t rows = found->size();
    if (rows == 0) return outcome::ok;
    outcome o = export_result(l, i, false);
    if (o != outcome::ok) return o;
    *exported = true;
    // Rows are in UID order.
    std::uint32_t top = found->rows().back().uid;
    if (rows < static_cast<std::size_t>(search_state::instance().cap) || top == UINT32_MAX) return outcome::ok;
    // Without resume each part's job would start the archive afresh and
    // drop the manifest of the parts before it.
    if (!b->opt.resume) {
      char detail[96];
      std::snprintf(detail, sizeof detail, "incomplete: more than %d messages", search_state::instance().cap);
      return folder_failed(l, i, "export", detail);
    }
    criteria = part_criteria(b, static_cast<unsigned long long>(top) + 1);
  }
}

// Takes the folder this lane works on next: one a lane gave back first,
// then the next in batch order. -1 once none is left and no lane still at
// work could give one back (the lane then counts as gone).
int take_folder(lane &l) {
  lane_run &r = *l.run;
  batch_state *b = r.b;
  for (;;) {
    // Only the further lanes wait out a pause between folders: the first
    // lane's job is paused as a single export's is.
    while (l.index > 0 && b->pause_requested.load() && !b->cancel_requested && !r.stop) plat::sleep_ms(50);
    bool leave = r.stop || (l.index > 0 && b->cancel_requested);
    {
      plat::lock_guard hold(r.lock);
      int i = -1;
      if (!leave && !r.returned.empty()) {
        i = r.returned.front();
        r.returned.erase(r.returned.begin());
      } else if (!leave && r.next < b->folder_count) {
        i = r.next++;
      }
      if (i >= 0) {
        ++r.busy;
        return i;
      }
      if (leave || r.busy == 0) {
        --r.alive;
        return -1;
      }
    }
    // Another lane may yet give its folder back.
    plat::sleep_ms(20);
  }
}

// Folder i's turn on lane l, from its place in the status to its end.
outcome work_on(lane &l, int i, bool looking) {
  batch_state *b = l.run->b;
  // The status names the first lane's folder: the one whose job the
  // export calls report.
  if (l.index == 0) {
    b->folder_idx.store(i);
    char line[1024];
    std::snprintf(line, sizeof line, "folder %d/%d: %s", i + 1, b->folder_count, b->folders[i]);
    batch_set_current(line);
  }
  if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
  // What the server itself calls unselectable is passed over without a
  // word to it (open_folder passes over the listed ones it refuses).
  if (b->listed_by_server && b->noselect[i]) {
    b->folder_state[i].store(k_folder_done, std::memory_order_release);
    return outcome::unreadable;
  }
  if (looking && i >= l.looked_to) look_from(l, i);
  bool exported = false;
  outcome o;
  do {
    b->folder_state[i].store(k_folder_running, std::memory_order_release);
    o = export_folder(l, i, l.looks[static_cast<std::size_t>(i)], &exported);
    // After a lost connection the counts are not trusted again.
    if (o == outcome::retry) l.looks[static_cast<std::size_t>(i)] = folder_look{};
  } while (o == outcome::retry);
  if (o != outcome::ok) return o;
  // Counted first: a status that sees the folder done sees it counted.
  if (exported) b->done_folders.fetch_add(1);
  b->folder_state[i].store(k_folder_done, std::memory_order_release);
  return o;
}

// A lane's whole part of the run: folder after folder until none is left
// or the run ends.
void work(lane &l) {
  lane_run &r = *l.run;
  batch_state *b = r.b;
  // Learned runs ask STATUS of the folders ahead, a burst at a time.
  const bool looking = b->opt.resume && b->opt.manifest && b->since.empty();
  for (;;) {
    int i = take_folder(l);
    if (i < 0) return;
    outcome o;
    try {
      if (l.looks.empty()) l.looks.resize(static_cast<std::size_t>(b->folder_count));
      o = work_on(l, i, looking);
    } catch (...) {
      fail(b, "batch stopped: out of memory");
      o = outcome::stop;
    }
    std::string reason;
    if (o == outcome::folder_error) {
      plat::lock_guard hold(b->text_lock);
      reason = b->folder_errors[i];
    }
    {
      plat::lock_guard hold(r.lock);
      --r.busy;
      // The run's reason names the first failed folder in batch order,
      // whichever lane met it first.
      if (o == outcome::folder_error && (r.failed++ == 0 || i < r.first_failed)) {
        r.first_failed = i;
        r.first_failure = std::move(reason);
      }
      if (o == outcome::stop) {
        r.stop = true;
        --r.alive;
      }
    }
    if (o == outcome::stop || o == outcome::given_back) return;
  }
}

// Body of a lane beyond the first: logs in with the first connection's
// settings and works until the run ends. A server that refuses the login
// (too many connections of the user, for one) leaves the run with the
// lanes it has; this lane then takes no folder at all.
void lane_thread(void *arg) {
  lane &l = *static_cast<lane *>(arg);
  lane_run &r = *l.run;
  batch_state *b = r.b;
  {
    // A cancel cuts short the login as much as any later command.
    session::stop_scope stop(*l.sess, [b] { return b->cancel_requested.load() != 0; });
    bool joined = false;
    while (r.logins_tried.load(std::memory_order_acquire) < l.index - 1 && !b->cancel_requested && !r.stop)
      plat::sleep_ms(5);
    if (!b->cancel_requested && !r.stop && l.sess->connect(l.cfg) == 0) {
      plat::lock_guard hold(r.lock);
      ++r.alive;
      joined = true;
    }
    r.logins_tried.fetch_add(1, std::memory_order_release);
    l.cfg.wipe_secrets();
    if (joined) {
      b->connections_used.fetch_add(1);
      batch_register_lane(l.index, l.job);
      work(l);
      batch_register_lane(l.index, nullptr);
      l.sess->disconnect();
    }
  }
  // The lane is not touched after this.
  r.threads.fetch_sub(1, std::memory_order_release);
}

// Waits for every lane thread of the run to end, however the run ends.
struct lanes_ended {
  lane_run &r;
  ~lanes_ended() {
    while (r.threads.load(std::memory_order_acquire) > 0) plat::sleep_ms(10);
  }
};

void run(batch_state *b) {
  // Asked by the session while it waits for the server too, so a cancel
  // ends a command in flight (a folder being opened, searched or exported)
  // instead of waiting for its answer.
  session::stop_scope stop(main_session(), [b] { return b->cancel_requested.load() != 0; });
  b->state.store(k_batch_running);
  lane_run r;
  r.b = b;
  lane first;
  first.sess = &main_session();
  first.job = &export_record();
  first.run = &r;
  b->connections_used.store(1);
  // Only a learned run spreads over connections: a search fills the one
  // result table of the process, so those folders take turns on the first.
  const bool learned = b->opt.resume && b->opt.manifest && b->since.empty();
  const int extra = learned ? b->connections - 1 : 0;
  std::vector<std::unique_ptr<lane>> more;
  more.reserve(static_cast<std::size_t>(extra));
  lanes_ended wait_for_lanes{r};
  for (int k = 1; k <= extra; ++k) {
    auto l = std::make_unique<lane>();
    l->index = k;
    l->run = &r;
    l->own_session = std::make_unique<session>();
    l->own_job = std::make_unique<export_job>();
    l->sess = l->own_session.get();
    l->job = l->own_job.get();
    l->cfg = main_session().config();
    r.threads.fetch_add(1);
    if (!kq_thread_spawn(lane_thread, l.get())) {
      // The run goes on with the lanes it has.
      r.threads.fetch_sub(1);
      r.logins_tried.fetch_add(1, std::memory_order_release);
      l->cfg.wipe_secrets();
      continue;
    }
    more.push_back(std::move(l));
  }
  work(first);
  while (r.threads.load(std::memory_order_acquire) > 0) plat::sleep_ms(10);
  if (r.stop) return;
  // A cancel that the other lanes met between folders: the run stops at
  // the first folder none of them took, as it does on one connection.
  if (b->cancel_requested)
    for (int i = 0; i < b->folder_count; ++i)
      if (b->folder_state[i].load(std::memory_order_acquire) == k_folder_pending) {
        stopped(b, i, "export", "cancelled");
        return;
      }
  // Every folder a lane took ended one way or another, and one given back
  // was taken by a lane still working: a folder left over would be a
  // folder silently missing from the archive, so it counts as failed.
  for (int i = 0; i < b->folder_count; ++i) {
    std::int32_t st = b->folder_state[i].load(std::memory_order_acquire);
    if (st != k_folder_pending && st != k_folder_running) continue;
    char text[512];
    std::snprintf(text, sizeof text, "export %s failed: no connection was left to export it", b->folders[i]);
    batch_set_folder_error(i, text);
    plat::lock_guard hold(r.lock);
    if (r.failed++ == 0 || i < r.first_failed) {
      r.first_failed = i;
      r.first_failure = text;
    }
  }
  batch_set_current("");
  int failed;
  std::string first_failure;
  {
    plat::lock_guard hold(r.lock);
    failed = r.failed;
    first_failure = r.first_failure;
  }
  if (failed > 0) {
    // Every other folder was exported; the run still reports that it is
    // not complete.
    char text[512];
    if (failed == 1) std::snprintf(text, sizeof text, "%s", first_failure.c_str());
    else std::snprintf(text, sizeof text, "%d folders failed; the first: %s", failed, first_failure.c_str());
    fail(b, text);
    return;
  }
  b->state.store(k_batch_finished, std::memory_order_release);
}

}  // namespace

void batch_worker(void *batch) {
  auto *b = static_cast<batch_state *>(batch);
  try {
    run(b);
  } catch (...) {
    fail(b, "batch stopped: out of memory");
  }
  b->hold.release();
  b->active.store(0, std::memory_order_release);
}

}  // namespace kq
