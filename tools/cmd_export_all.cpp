// export-all: every chosen folder into a subdirectory of one directory. The
// tool picks and orders the folders (INBOX first, then the hierarchy) and
// hands that list to the library's batch; with --since it runs one search and
// one export job per folder instead, as the batch takes no date; with
// --dry-run it only counts.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "advice.h"
#include "cli.h"
#include "events.h"
#include "export_common.h"
#include "folder_list.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "patterns.h"
#include "progress.h"
#include "term.h"

namespace kqcli {

namespace {

namespace fs = std::filesystem;

// What became of one folder of the run.
struct folder_result {
  folder_info folder;
  std::string dir;   // its archive ("" until known)
  std::string word;  // "pending", "running", "done", "error", "unreadable"
  std::string reason;
  long long before = 0;  // messages its archive held before the run
  long long messages = 0, bytes = 0, fresh = 0;
  bool started = false, closed = false;
  bool named = false;  // given with --folder: a folder it cannot open is an error
};

std::string shown(const folder_info &f) { return printable(f.display, false); }

// Messages an archive directory's manifest lists; 0 without one.
long long archived(const std::string &dir) { return dir.empty() ? 0 : manifest_messages({dir}); }

// The folders --folder, --include and --exclude choose, in listing order
// (INBOX first); every folder when none of them is given. A --folder the
// server does not list is kept, after the others, for the run to report.
std::vector<folder_info> chosen_folders(const args &a, const folder_listing &list) {
  const auto &named = a.values("folder");
  for (const auto &f : named)
    if (f.empty()) throw usage_error("--folder wants a folder name");
  const auto &include = a.values("include"), &exclude = a.values("exclude");
  for (const auto *l : {&include, &exclude})
    for (const auto &p : *l)
      if (p.empty()) throw usage_error("--include and --exclude want a pattern");

  std::vector<folder_info> out;
  std::vector<std::string> unknown;
  if (!named.empty()) {
    std::set<std::string> want(named.begin(), named.end());
    for (const auto &f : list.folders)
      if (want.count(f.name) || want.count(f.display)) out.push_back(f);
    for (const auto &n : named)
      if (!find_folder(list, n)) {
        folder_info f;
        f.name = f.display = n;
        f.listed = false;
        out.push_back(f);
      }
  } else {
    // A parent the server lists only to hold others (a \Noselect one, such
    // as "[Gmail]") shows no messages and cannot be opened: the library's own
    // listing passes it over without a word, and so does this one.
    for (const auto &f : list.folders) {
      bool parent = false;
      for (const auto &g : list.folders)
        parent = parent || (g.display.size() > f.display.size() + 1 &&
                            g.display.compare(0, f.display.size(), f.display) == 0 &&
                            g.display[f.display.size()] == list.delimiter);
      if (!(parent && f.count <= 0 && f.uid_max <= 0)) out.push_back(f);
    }
  }
  if (include.empty() && exclude.empty()) return out;

  std::vector<folder_info> kept;
  for (const auto &f : out) {
    // A folder that cannot be opened (a \Noselect parent) lists as empty;
    // with nothing in it there is nothing to export either.
    if (named.empty() && f.count <= 0) continue;
    // Patterns are written as the user reads the names: in UTF-8.
    if (!filter_folders({f.display}, include, exclude, list.delimiter).empty()) kept.push_back(f);
  }
  if (kept.empty()) throw failure("no folder with messages matches --include/--exclude");
  std::string names;
  for (const auto &f : kept) names += (names.empty() ? "" : ", ") + shown(f);
  say(1, "folders chosen: " + names);
  return kept;
}

json_object &folder_fields(json_object &ev, const folder_result &r) {
  ev.str("folder", r.folder.display);
  if (!r.dir.empty()) ev.str("dir", r.dir);
  return ev;
}

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
  cfg.raw("folders", folders);
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

// The same run without the batch: a search with the date and one export job
// per folder, into the folder's archive (found by its resume.json, else named
// as the batch would name it). A failed folder does not stop the others while
// the connection holds.
int follow_folders(const args &a, const std::string &dir, std::vector<folder_result> &results,
                   progress_view &view, bool &cancelling) {
  bool resume = !a.has("no-resume");
  std::string criteria;
  {
    json_object c;
    c.str("since", a.value("since"));
    criteria = c.text();
  }
  std::set<std::string> used;
  for (auto &r : results) {
    if (cancelling) break;
    if (r.dir.empty()) {
      std::string name = folder_dir_name(r.folder.display);
      for (int n = 2; used.count(name); ++n) name = folder_dir_name(r.folder.display) + "~" + std::to_string(n);
      r.dir = (fs::path(dir) / name).string();
    }
    used.insert(fs::path(r.dir).filename().string());
    r.word = "running";
    start_folder(r);
    if (view.due()) view.status(r.folder.display, "searching...");
    if (kq_search(r.folder.name.c_str(), criteria.c_str()) != 0) {
      std::string why = kq_last_error() ? kq_last_error() : "";
      r.word = why.rfind("cannot open mailbox", 0) == 0 && r.folder.listed && !r.named && kq_status() == 2
                   ? "unreadable"
                   : "error";
      r.reason = "search " + r.folder.display + " failed: " + why;
      if (r.word == "unreadable")
        view.note("kerquill: warning: folder " + shown(r.folder) + " is not readable: " + clause(why) +
                  "; passed over");
      close_folder(r, view, resume);
      if (kq_status() != 2) break;
      continue;
    }
    if (kq_search_count() == 0) {
      r.word = "done";
      close_folder(r, view, resume);
      continue;
    }
    json_object cfg;
    cfg.str("dir", r.dir)
        .str("naming", a.has("flat") ? "uid" : "YYYY\\MM\\uid")
        .str("format", archive_format(a))
        .num("resume", resume ? 1 : 0)
        .num("manifest", a.has("no-manifest") ? 0 : 1);
    if (kq_export_start(cfg.text().c_str()) != 0) {
      if (is_archive_in_use(kq_last_error())) throw archive_in_use(kq_last_error());
      r.word = "error";
      r.reason = "export " + r.folder.display + " failed: " + (kq_last_error() ? kq_last_error() : "");
      close_folder(r, view, resume);
      continue;
    }
    int state = st_running;
    for (;;) {
      state = kq_export_status();
      if (term_interrupts() > 0 && !cancelling) {
        cancelling = true;
        kq_export_cancel();
        view.note(cancel_note());
      }
      if (state != st_running) {
        job_snapshot j = read_job();
        // 3 is a pause or a cancel; this tool only ever cancels.
        if (state != st_paused_or_cancelled || j.ended() || cancelling) break;
      }
      if (view.due()) view.show(r.folder.display, read_job());
      std::this_thread::sleep_for(k_check);
    }
    job_snapshot last = read_job();
    say_recovery(view, r.folder.display, last);
    if (state == st_done) {
      r.word = "done";
    } else {
      r.word = "error";
      r.reason = cancelling ? "export " + r.folder.display + " cancelled"
                            : "export " + r.folder.display + " error: " + last.error;
    }
    close_folder(r, view, resume);
    if (r.word == "error" && kq_status() != 2) break;
  }
  bool failed = false;
  for (const auto &r : results) failed = failed || r.word == "error" || r.word == "running";
  return failed ? st_error : st_done;
}

// --dry-run: what a run would do, folder by folder; nothing is written.
int dry_run(const args &a, const std::string &dir, std::vector<folder_result> &results) {
  bool json = g_json_log;
  bool since = a.has("since");
  long long server_total = 0, archived_total = 0, fetch_total = 0;
  if (!json && !a.has("quiet"))
    std::printf("%s %8s %9s %9s\n", pad("FOLDER", 28).c_str(), "SERVER", "ARCHIVED", "TO FETCH");
  for (auto &r : results) {
    // What the archive holds: the UIDs its resume.json counts as stored.
    std::set<long long> stored;
    if (!r.dir.empty()) {
      std::ifstream in(fs::path(r.dir) / "resume.json", std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      jvalue rj;
      if (json_parse(text, rj))
        for (const auto &u : rj["completed"].items) stored.insert(u.as_int());
    }
    long long on_server = r.folder.count, to_fetch = 0;
    if (since) {
      // Only a search knows which messages the date lets through.
      std::string criteria;
      json_object c;
      c.str("since", a.value("since"));
      criteria = c.text();
      if (kq_search(r.folder.name.c_str(), criteria.c_str()) != 0) {
        r.word = "error";
        r.reason = std::string("search failed: ") + (kq_last_error() ? kq_last_error() : "");
      } else {
        on_server = kq_search_count();
        for (int i = 0; i < on_server; ++i)
          if (!stored.count(to_ll(kq_search_field(i, "uid")))) ++to_fetch;
      }
    } else {
      // Without a search the UIDs on the server are known only as a range:
      // the stored UIDs inside it are taken as still there.
      long long inside = 0;
      for (long long u : stored)
        if (u >= r.folder.uid_min && u <= r.folder.uid_max) ++inside;
      to_fetch = on_server - inside;
      if (to_fetch < 0) to_fetch = 0;
    }
    r.messages = archived(r.dir);
    server_total += on_server;
    archived_total += r.messages;
    fetch_total += to_fetch;
    json_object ev;
    folder_fields(ev, r).num("on_server", on_server).num("archived", r.messages).num("to_fetch", to_fetch);
    if (r.word == "error") ev.str("error", r.reason);
    log_event("folder_plan", ev);
    if (!json && !a.has("quiet"))
      std::printf("%s %8lld %9lld %9s\n", pad(shown(r.folder), 28).c_str(), on_server, r.messages,
                  r.word == "error" ? "failed" : std::to_string(to_fetch).c_str());
  }
  json_object ev;
  ev.num("folders", static_cast<long long>(results.size()))
      .num("on_server", server_total)
      .num("archived", archived_total)
      .num("to_fetch", fetch_total);
  log_event("plan_totals", ev);
  if (human_output(a))
    std::printf("Dry run: %s to fetch into %s; nothing was written.\n",
                count_text(fetch_total, "message", "messages").c_str(), dir.c_str());
  for (const auto &r : results)
    if (r.word == "error") throw failure(shown(r.folder) + ": " + r.reason);
  return 0;
}

}  // namespace

int cmd_export_all(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  progress_view view = make_view(a);
  bool resume = !a.has("no-resume");
  if (a.has("flat") && a.has("dated")) throw usage_error("--flat and --dated exclude each other");
  if (a.has("since")) check_day("--since", a.value("since"));

  term_catch_interrupts();
  session s(a);
  folder_listing listing = list_folders();
  std::vector<folder_info> chosen = chosen_folders(a, listing);
  stop_if_asked("export");

  std::vector<folder_result> results;
  for (const auto &f : chosen) {
    folder_result r;
    r.folder = f;
    r.word = "pending";
    r.named = a.has("folder");
    // The archive the library made of this folder on an earlier run.
    r.dir = archive_of_folder(dir, f.name, f.display);
    r.before = archived(r.dir);
    results.push_back(std::move(r));
  }
  if (a.has("dry-run")) return dry_run(a, dir, results);

  auto started = steady::now();
  say(1, "exporting " + count_text(static_cast<long long>(results.size()), "folder", "folders") + " into " + dir +
             (a.has("since") ? " (messages since " + a.value("since") + ")" : ""));
  bool cancelling = false;
  jvalue status;
  int bstate = a.has("since") ? follow_folders(a, dir, results, view, cancelling)
                              : follow_batch(a, dir, results, view, status, cancelling);
  view.keep();

  if (cancelling) {
    log_event("cancelled");
    std::fprintf(stderr, "Export of all folders cancelled.\n");
    resumable_note(resume, dir);
    return cancelled_status();
  }

  long long messages = 0, bytes = 0, added = 0, done = 0, unreadable = 0;
  std::vector<const folder_result *> failed;
  bool table = human_output(a);
  if (table) std::printf("%s %8s %9s %6s\n", pad("FOLDER", 28).c_str(), "MESSAGES", "SIZE", "NEW");
  for (const auto &r : results) {
    if (r.word == "done") {
      ++done;
      messages += r.messages;
      bytes += r.bytes;
      added += r.fresh;
      if (table)
        std::printf("%s %8lld %9s %6lld\n", pad(shown(r.folder), 28).c_str(), r.messages,
                    human_bytes(r.bytes).c_str(), r.fresh);
    } else if (r.word == "unreadable") {
      ++unreadable;
      if (table) std::printf("%s %8s\n", pad(shown(r.folder), 28).c_str(), "unreadable");
    } else if (r.word == "error" || (r.word != "pending" && bstate != st_done)) {
      failed.push_back(&r);
      if (table) std::printf("%s %8s\n", pad(shown(r.folder), 28).c_str(), "failed");
    }
  }
  {
    json_object ev;
    ev.num("folders", done)
        .num("failed", static_cast<long long>(failed.size()))
        .num("unreadable", unreadable)
        .num("messages", messages)
        .num("bytes", bytes)
        .num("new", added)
        .num("seconds", static_cast<long long>(seconds_since(started)));
    log_event("totals", ev);
  }

  // A batch that failed only on folders read as unreadable has done its work.
  bool complete = true;
  for (const auto &r : results) complete = complete && (r.word == "done" || r.word == "unreadable");
  if (bstate != st_done && !(complete && !results.empty())) {
    std::string what;
    std::string names;
    for (const auto *r : failed) names += (names.empty() ? "" : ", ") + shown(r->folder);
    what = failed.size() == 1 ? "the export of folder " + names + " failed"
           : failed.empty()   ? std::string("the export of all folders failed")
                              : "the export of " + std::to_string(failed.size()) + " folders failed (" + names + ")";
    // The batch's reason is in its status: the library's last error belongs
    // to the thread that failed, the batch's own.
    std::string why = status["error"].as_str();
    if (why.empty() && !failed.empty()) why = failed.front()->reason;
    throw failure(what + ": " + clause(in_tool_words(why.empty() ? "unknown error" : why)) +
                  ".\nFolders already exported stay in " + dir + "; " + after_stop_advice(why));
  }
  if (!table) return 0;
  std::printf("Archived %s (%s) of %s into %s in %s.\n", count_text(messages, "message", "messages").c_str(),
              human_bytes(bytes).c_str(), count_text(done, "exported folder", "exported folders").c_str(),
              dir.c_str(), human_duration(static_cast<long long>(seconds_since(started))).c_str());
  std::printf("New since the last run: %s.\n", count_text(added, "message", "messages").c_str());
  if (unreadable > 0) {
    std::string names;
    for (const auto &r : results)
      if (r.word == "unreadable") names += (names.empty() ? "" : ", ") + shown(r.folder);
    std::printf("Passed over %s: %s.\n",
                count_text(unreadable, "unreadable folder", "unreadable folders").c_str(), names.c_str());
  }
  if (!a.has("no-manifest")) std::printf("Check it with: kerquill verify %s\n", shell_word(dir).c_str());
  return 0;
}

}  // namespace kqcli
