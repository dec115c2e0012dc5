// The batch thread: search each folder, export it, wait for the job, go on.
#include <cstdint>
#include <cstdio>
#include <cstring>
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
#include "search/search.h"
#include "platform/platform.h"
#include "search/search_table.h"

namespace kq {

namespace {

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
};

// Connections a run may make again after losing one between the commands
// of a folder's job (the job makes its own good within a folder).
constexpr int k_run_reconnects = 3;

// After a lost connection: connects again with the same configuration, a
// pause before each attempt (a cancel cuts it short). True when usable.
bool connect_again(batch_state *b) {
  while (b->reconnects_used < k_run_reconnects) {
    int pause_ms = 500 << b->reconnects_used++;
    for (int waited = 0; waited < pause_ms; waited += 50) {
      if (b->cancel_requested) return false;
      plat::sleep_ms(50);
    }
    if (main_session().reconnect() == 0) return true;
  }
  return false;
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
outcome folder_failed(batch_state *b, int i, const char *what, const char *detail) {
  // A cancel may close the connection under a command: that failure is
  // the cancel.
  if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
  char text[512];
  std::snprintf(text, sizeof text, "%s %s %s", what, b->folders[i], detail);
  batch_set_folder_error(i, text);
  if (main_session().status() == 2) return outcome::folder_error;
  if (!b->cancel_requested && connect_again(b)) return outcome::retry;
  fail(b, text);
  return outcome::stop;
}

// Exports folder i into its subdirectory and waits for the job: the
// current search result, given rows (the folder's every message, fetched
// with its EXAMINE), or (learn) whatever the archive lacks.
outcome export_result(batch_state *b, int i, bool learn, search_result_ptr rows = nullptr) {
  export_request req;
  req.opt = b->opt;
  req.opt.dir = b->opt.dir + "/" + b->subdirs[i];
  if (req.opt.dir.size() > k_dir_cap - 1) return folder_failed(b, i, "export", "failed: dir too long");
  // The job runs on this thread: when the call returns, it has ended.
  int rc = rows ? export_rows(req.opt, std::move(rows))
           : learn ? export_folder_incremental(req.opt, b->folders[i])
                   : export_start(req, true);
  if (rc != 0)
    return folder_failed(b, i, "export", (std::string("failed: ") + last_error()).c_str());
  int st = export_status();
  if (st == k_job_done) return outcome::ok;
  if (st == k_job_stopped) return stopped(b, i, "export", "cancelled");
  return folder_failed(b, i, "export", (std::string("error: ") + last_error()).c_str());
}


// Opens folder i before anything else is asked of it. A folder from the
// server's own listing that the server then refuses to open (while the
// session stays logged in) is one the user may not read, as under an access
// list that shows it but grants no read right: passed over with the
// server's text. A folder the host named stays an error (it may be a
// misspelt name), and so does any failure that cost the connection, and a
// refusal for now (a busy server, a folder in use): a later run can read
// it, so this run must not call itself complete.
outcome open_folder(batch_state *b, int i, mailbox_state *st, bool examine_refused = false) {
  const char *folder = b->folders[i];
  if (main_session().select(folder, st, !examine_refused) == 0) return outcome::ok;
  std::string failure = std::string("failed: ") + last_error();
  if (!b->listed_by_server || main_session().status() != 2) return folder_failed(b, i, "search", failure.c_str());
  // The session wrote "cannot open mailbox <folder>: <server's text>"; the
  // status keeps the server's part.
  std::string why = last_error();
  std::string head = std::string("cannot open mailbox ") + folder + ": ";
  if (why.starts_with(head)) why.erase(0, head.size());
  if (read_throttle(why).any() || why.find("[INUSE]") != std::string::npos)
    return folder_failed(b, i, "search", failure.c_str());
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
void look_from(batch_state *b, int i, std::vector<folder_look> &looks, int &looked_to) {
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
  look_ahead(main_session(), names, got, k_look_ahead);
  for (std::size_t k = 0; k < which.size() && k < got.size(); ++k) looks[which[k]] = got[k];
}

// Searches and exports one folder. A search stops at the result table's
// capacity; a full table is followed by a search above its highest UID, so
// a large folder is exported in parts instead of being cut short.
outcome export_folder(batch_state *b, int i, const folder_look &look, bool *exported) {
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
    prepared_folder ahead = prepare_folder(main_session(), folder, want_rows(b, i, look));
    mailbox_state st = ahead.st;
    // A refusal (or a lost connection) is told apart as it always was.
    if (ahead.examine != 0)
      if (outcome o = open_folder(b, i, &st, ahead.examine > 0); o != outcome::ok) return o;
    if (st.exists <= 0) return outcome::ok;
    // Rows that are not known to be the whole folder are not used: the job
    // learns the folder's UIDs itself, as it does for large folders.
    outcome o = ahead.examine == 0 && ahead.rows_whole ? export_result(b, i, false, std::move(ahead.rows))
                                                       : export_result(b, i, true);
    *exported = o == outcome::ok;
    return o;
  }
  if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
  // The search opens it again; opening it first tells a folder the server
  // refuses from a search that failed.
  mailbox_state st;
  if (outcome o = open_folder(b, i, &st); o != outcome::ok) return o;
  for (;;) {
    if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
    if (search_folder(folder, criteria.empty() ? nullptr : criteria.c_str()) != 0) {
      // A cancel can cut the search short: then that is the reason.
      if (b->cancel_requested) return stopped(b, i, "export", "cancelled");
      return folder_failed(b, i, "search", (std::string("failed: ") + last_error()).c_str());
    }
    search_result_ptr found = current_result();
    std::size_t rows = found->size();
    if (rows == 0) return outcome::ok;
    outcome o = export_result(b, i, false);
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
      return folder_failed(b, i, "export", detail);
    }
    criteria = part_criteria(b, static_cast<unsigned long long>(top) + 1);
  }
}

void run(batch_state *b) {
  // Asked by the session while it waits for the server too, so a cancel
  // ends a command in flight (a folder being opened, searched or exported)
  // instead of waiting for its answer.
  session::stop_scope stop(main_session(), [b] { return b->cancel_requested.load() != 0; });
  b->state.store(k_batch_running);
  b->reconnects_used = 0;
  int failed = 0;
  std::string first_failure;
  // Learned runs ask STATUS of the folders ahead, a burst at a time.
  bool looking = b->opt.resume && b->opt.manifest && b->since.empty();
  std::vector<folder_look> looks(static_cast<std::size_t>(b->folder_count));
  int looked_to = 0;
  for (int i = 0; i < b->folder_count; ++i) {
    b->folder_idx.store(i);
    char line[1024];
    std::snprintf(line, sizeof line, "folder %d/%d: %s", i + 1, b->folder_count, b->folders[i]);
    batch_set_current(line);
    if (b->cancel_requested) {
      stopped(b, i, "export", "cancelled");
      return;
    }
    // What the server itself calls unselectable is passed over without a
    // word to it (open_folder passes over the listed ones it refuses).
    if (b->listed_by_server && b->noselect[i]) {
      b->folder_state[i].store(k_folder_done, std::memory_order_release);
      continue;
    }
    if (looking && i >= looked_to) look_from(b, i, looks, looked_to);
    bool exported = false;
    outcome o;
    do {
      b->folder_state[i].store(k_folder_running, std::memory_order_release);
      o = export_folder(b, i, looks[static_cast<std::size_t>(i)], &exported);
      // After a lost connection the counts are not trusted again.
      if (o == outcome::retry) looks[static_cast<std::size_t>(i)] = folder_look{};
    } while (o == outcome::retry);
    if (o == outcome::stop) return;
    // Already marked, with the server's text; no part of a failure.
    if (o == outcome::unreadable) continue;
    if (o == outcome::folder_error) {
      if (failed++ == 0) {
        plat::lock_guard hold(b->text_lock);
        first_failure = b->folder_errors[i];
      }
      continue;
    }
    // Counted first: a status that sees the folder done sees it counted.
    if (exported) b->done_folders.fetch_add(1);
    b->folder_state[i].store(k_folder_done, std::memory_order_release);
  }
  batch_set_current("");
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
