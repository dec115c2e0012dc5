// export-all's run through the library's batch: the batch exports the
// chosen folders while this follows its status, folder by folder, with a
// progress line and an event for each.
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "events.h"
#include "export_all.h"
#include "export_common.h"
#include "format.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

namespace fs = std::filesystem;

json_object &folder_fields(json_object &ev, const folder_result &r) {
  ev.str("folder", r.folder.display);
  if (!r.dir.empty()) ev.str("dir", r.dir);
  return ev;
}

namespace {

// Ends a folder's part of the run: counts its archive, prints its closing
// progress line and logs the event.
void close_folder(folder_result &r, progress_view &view, bool resume) {
  if (r.closed) return;
  r.closed = true;
  json_object ev;
  folder_fields(ev, r);
  if (r.word == "done") {
    jvalue st;
    if (!r.dir.empty() && json_parse(kq_archive_stats_json(r.dir.c_str()), st)) {
      r.messages = st["messages"].as_int();
      r.bytes = st["bytes"].as_int();
    }
    r.fresh = resume ? r.messages - r.before : r.messages;
    if (r.fresh < 0) r.fresh = 0;
    view.status(r.folder.display, "done: " + count_text(r.fresh, "new message", "new messages") + ", " +
                                      std::to_string(r.messages) + " archived");
    ev.num("new", r.fresh).num("messages", r.messages).num("bytes", r.bytes);
    log_event("folder_done", ev);
  } else if (r.word == "unreadable") {
    view.status(r.folder.display, "not readable: passed over");
    ev.str("error", r.reason);
    log_event("folder_unreadable", ev);
  } else {
    view.status(r.folder.display, "failed" + (r.reason.empty() ? std::string() : ": " + clause(r.reason)));
    ev.str("error", r.reason);
    log_event("folder_failed", ev);
  }
  view.keep();
}

void start_folder(folder_result &r) {
  if (r.started) return;
  r.started = true;
  json_object ev;
  folder_fields(ev, r);
  log_event("folder_started", ev);
}

// The library passes over a folder of its own listing that the server will
// not open; given a list, it calls that an error, as for a misspelt name. The
// list here is the server's own (unless --folder named the folder), so such a
// refusal is read the library's way: the server refused while the session
// stayed logged in, and not for now (in use, throttled).
void pass_over_if_refused(folder_result &r, progress_view &view) {
  if (r.named || !r.folder.listed || kq_status() != 2) return;
  const std::string head = "search " + r.folder.name + " failed: cannot open mailbox " + r.folder.name + ": ";
  if (r.reason.rfind(head, 0) != 0) return;
  std::string why = r.reason.substr(head.size());
  for (const char *now : {"[INUSE]", "[UNAVAILABLE]", "[LIMIT]", "THROTTL"})
    if (why.find(now) != std::string::npos) return;
  r.word = "unreadable";
  r.reason = why;
  view.note("kerquill: warning: folder " + shown(r.folder) + " is not readable" +
            (why.empty() ? "" : ": " + printable(clause(why), false)) + "; passed over");
}

}  // namespace

// Follows the library's batch over the chosen folders. Returns the batch's
// final state; status holds its last status text.
int follow_batch(const args &a, const std::string &dir, std::vector<folder_result> &results, progress_view &view,
                 jvalue &status, bool &cancelling) {
  bool resume = !a.has("no-resume");
  std::string folders = "[";
  for (const auto &r : results) {
    if (folders.size() > 1) folders += ',';
    json_put_str(folders, r.folder.name);
  }
  folders += "]";
  json_object cfg;
  cfg.str("dir", dir).num("resume", resume ? 1 : 0).num("manifest", a.has("no-manifest") ? 0 : 1);
  cfg.str("format", archive_format(a));
  if (a.has("flat")) cfg.str("naming", "uid");
  if (a.has("since")) cfg.str("since", a.value("since"));
  cfg.raw("folders", folders);
  // Only asked for when given, so a run on one connection sends what it
  // always did.
  if (a.has("connections")) cfg.num("connections", a.number("connections", 1));
  // What each subdirectory held before, for archives whose resume.json named
  // no folder to find them by.
  std::map<std::string, long long> before_by_dir;
  {
    bool nested;
    for (const auto &ar : find_archives(dir, nested))
      if (nested) before_by_dir[ar.label] = manifest_messages({ar.path});
  }
  if (kq_export_all_folders(cfg.text().c_str()) != 0) lib_fail("cannot start exporting all folders");

  std::set<std::string> warned;
  // The status names folders by subdirectory, in the order they were given:
  // entry i is results[i]. Takes in what a status says of every folder.
  auto take = [&](const jvalue &st) {
    const auto &members = st["folders"].members;
    for (std::size_t i = 0; i < members.size() && i < results.size(); ++i) {
      folder_result &r = results[i];
      std::string sub = (fs::path(dir) / members[i].first).string();
      if (sub != r.dir && before_by_dir.count(members[i].first)) r.before = before_by_dir[members[i].first];
      r.dir = sub;
      // Passed over once is passed over: the batch keeps calling it an error.
      if (r.word == "unreadable") continue;
      r.word = members[i].second.as_str();
      if (r.word == "error") r.reason = st["errors"][members[i].first].as_str();
      if (r.word == "error" && !r.closed) pass_over_if_refused(r, view);
      if (r.word != "pending") start_folder(r);
    }
    for (const auto &m : st["unreadable"].members) {
      for (auto &r : results)
        if (r.folder.name == m.first || r.folder.display == m.first) r.reason = m.second.as_str();
      if (!warned.insert(m.first).second) continue;
      const std::string &why = m.second.as_str();
      view.note("kerquill: warning: folder " + printable(m.first, false) + " is not readable" +
                (why.empty() ? "" : ": " + printable(clause(why), false)) + "; passed over");
    }
    for (auto &r : results)
      if (r.word == "done" || r.word == "error" || r.word == "unreadable") close_folder(r, view, resume);
  };

  steady::time_point idle_since{}, next_look = steady::now();
  for (;;) {
    json_parse(kq_export_all_status_json(), status);
    long long bstate = status["state"].as_int();
    if (term_interrupts() > 0 && !cancelling) {
      cancelling = true;
      view.note(cancel_note());
    }
    // There is no call to stop the batch itself: cancel each folder's job,
    // including the ones it starts after this.
    bool job_active = cancelling ? kq_export_cancel() == 0 : false;
    if (bstate != st_running) break;
    if (cancelling && !job_active) {
      if (idle_since == steady::time_point{}) idle_since = steady::now();
      if (seconds_since(idle_since) > 10) {
        view.note("kerquill: the batch does not finish after the cancel; leaving it.");
        break;
      }
    } else {
      idle_since = {};
    }
    if (steady::now() < next_look) {
      std::this_thread::sleep_for(k_check);
      continue;
    }
    next_look = steady::now() + k_redraw;

    // The job record belongs to whichever folder the batch is at when it is
    // read: it counts for a folder only when the status names the same
    // folder, still running, on both sides of the read.
    long long idx = status["folder_idx"].as_int();
    job_snapshot j = read_job();
    jvalue after;
    json_parse(kq_export_all_status_json(), after);
    take(after);
    bool same = after["folder_idx"].as_int() == idx && idx >= 0 && idx < static_cast<long long>(results.size());
    if (same && view.due()) {
      folder_result &r = results[static_cast<std::size_t>(idx)];
      if (r.word == "running") {
        if (j.state == st_running || j.state == st_paused_or_cancelled)
          view.show(r.folder.display, j);
        else
          view.status(r.folder.display, "searching...");
      }
    }
    std::this_thread::sleep_for(k_check);
  }
  json_parse(kq_export_all_status_json(), status);
  take(status);
  return static_cast<int>(status["state"].as_int());
}

}  // namespace kqcli
