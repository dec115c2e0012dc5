// restore and restore-all: put an archive folder (or an export-all tree)
// back on the server, each message once, followed with the export's
// progress view. Ctrl-C, SIGTERM and SIGHUP cancel cleanly: what went up is
// in the archive's restore.jsonl, and running the command again goes on.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "advice.h"
#include "cli.h"
#include "events.h"
#include "export_common.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "progress.h"
#include "restore_all.h"
#include "term.h"

namespace kqcli {

namespace {

namespace fs = std::filesystem;

// Where a restore puts an archive back: the folder the user named, or (with
// `own`) the archive's own folder with a prefix before it, which the library
// joins to the name the source server sent, so the target keeps its letters.
struct restore_target {
  std::string folder;
  std::string prefix;
  bool own = false;
};

struct restore_result {
  int state = 0;
  std::string folder;  // the target as the library names it, UTF-8; "" when it never said
  bool cancelled = false;
  job_snapshot last;
  long long restored = 0, present = 0, failed = 0;
  std::vector<std::string> failures;  // "uid N: reason"
};

std::string restore_config(const std::string &dir, const restore_target &t, const args &a) {
  json_object cfg;
  cfg.str("dir", dir);
  if (t.own) cfg.str("prefix", t.prefix);
  else cfg.str("folder", t.folder);
  cfg.num("create", a.has("no-create") ? 0 : 1).num("flags", a.has("no-flags") ? 0 : 1);
  return cfg.text();
}

// The target folder the running or last restore reports, UTF-8; "" before
// it has settled one.
std::string reported_folder() {
  jvalue st;
  return json_parse(kq_export_stats_json(), st) ? st["folder"].as_str() : std::string();
}

// Runs one restore to its end, drawing progress under `label`.
restore_result run_restore(progress_view &view, const std::string &dir, const restore_target &t,
                           const args &a) {
  restore_result r;
  if (kq_restore_start(restore_config(dir, t, a).c_str()) != 0)
    lib_fail("cannot start the restore of " + dir);
  // The archive's own name is known once the job has read its manifest;
  // until then the directory stands for it.
  std::string label = t.own ? fs::path(dir).filename().string() : t.folder;
  bool label_settled = !t.own;
  auto next_draw = steady::now();
  for (;;) {
    r.state = kq_restore_status();
    if (term_interrupts() > 0 && !r.cancelled) {
      r.cancelled = true;
      kq_export_cancel();
      view.note(cancel_note());
    }
    if (r.state == st_done || r.state == st_error || r.state == st_idle) break;
    bool stopped = r.state == st_paused_or_cancelled;
    if (stopped || steady::now() >= next_draw) {
      job_snapshot j = read_job();
      if (j.ended()) break;
      if (steady::now() >= next_draw) {
        if (!label_settled) {
          std::string f = reported_folder();
          if (!f.empty()) {
            label = f;
            label_settled = true;
          }
        }
        view.show(label, j);
        next_draw = steady::now() + k_redraw;
      }
    }
    std::this_thread::sleep_for(k_check);
  }
  r.state = kq_restore_status();
  r.last = read_job();
  r.folder = reported_folder();
  if (t.own && !r.folder.empty()) label = r.folder;
  if (r.cancelled) r.last.note = "cancelled";
  view.show(label, r.last, true);
  view.keep();
  jvalue st;
  if (json_parse(kq_export_stats_json(), st)) {
    r.restored = st["restored"].as_int();
    r.present = st["present"].as_int();
    r.failed = st["failed"].as_int();
    for (const jvalue &f : st["failures"].items)
      r.failures.push_back("uid " + std::to_string(f["uid"].as_int()) + ": " + f["reason"].as_str());
  }
  return r;
}

void report(const args &a, const restore_result &r, const std::string &dir, const std::string &folder,
            steady::time_point started) {
  json_object ev;
  ev.str("dir", dir).str("folder", folder).num("restored", r.restored).num("present", r.present).num("failed", r.failed);
  log_event(r.state == st_done ? "restore_done" : "restore_failed", ev);
  if (!human_output(a)) return;
  std::printf("Restored %s from %s into %s in %s", count_text(r.restored, "message", "messages").c_str(),
              dir.c_str(), header_display(folder).c_str(),
              human_duration(static_cast<long long>(seconds_since(started))).c_str());
  if (r.present > 0) std::printf("; %s already there", count_text(r.present, "message was", "messages were").c_str());
  std::printf(".\n");
}

[[noreturn]] void failed_run(const restore_result &r, const std::string &dir) {
  std::string text = "the restore of " + dir + " stopped on an error: " +
                     in_tool_words(r.last.error.empty() ? "unknown error" : r.last.error);
  for (std::size_t i = 0; i < r.failures.size() && i < 20; ++i) text += "\n  " + r.failures[i];
  text += "\nWhat went up is recorded in " + dir + "/restore.jsonl; run the same command again to go on.";
  throw failure(text);
}

}  // namespace

int cmd_restore(const args &a) {
  const std::string &dir = a.positional[0];
  std::string folder = a.value("to");
  if (dir.empty()) throw usage_error("DIR is empty");
  if (folder.empty()) throw usage_error("'restore' needs --to FOLDER");
  progress_view view = make_view(a);
  term_catch_interrupts();
  session s(a);
  stop_if_asked("restore");
  auto started = steady::now();
  say(1, "restoring " + dir + " into " + header_display(folder));
  restore_result r = run_restore(view, dir, restore_target{folder, "", false}, a);
  if (r.cancelled) {
    std::fprintf(stderr, "Restore cancelled: %lld of %lld messages settled in this run.\n", r.last.done,
                 r.last.total);
    std::fprintf(stderr, "Run the same command again to go on; nothing goes up twice.\n");
    return cancelled_status();
  }
  report(a, r, dir, folder, started);
  if (r.state != st_done) failed_run(r, dir);
  return 0;
}

restore_all_pass run_restore_all(const args &a, const std::vector<fs::path> &dirs, progress_view &view) {
  restore_all_pass p;
  const restore_target own{"", a.value("prefix"), true};
  for (const fs::path &d : dirs) {
    auto started = steady::now();
    restore_result r = run_restore(view, d.string(), own, a);
    // The library names the target in UTF-8 once it has read the archive;
    // a run that stopped before is named by its directory.
    const std::string folder = r.folder.empty() ? d.string() : r.folder;
    if (r.cancelled) {
      std::fprintf(stderr, "Restore cancelled at %s; run the same command again to go on.\n",
                   header_display(folder).c_str());
      p.cancelled = true;
      return p;
    }
    report(a, r, d.string(), folder, started);
    if (r.state != st_done)
      p.errors.push_back(header_display(folder) + ": " +
                         in_tool_words(r.last.error.empty() ? "unknown error" : r.last.error));
  }
  return p;
}

int cmd_restore_all(const args &a) {
  const fs::path root = a.positional[0];
  std::vector<fs::path> dirs;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(root, ec))
    if (e.is_directory() && fs::exists(e.path() / "manifest.jsonl")) dirs.push_back(e.path());
  if (ec) throw failure("cannot read " + root.string() + ": " + ec.message());
  if (dirs.empty()) throw failure("no archive folders (with a manifest.jsonl) in " + root.string());
  std::sort(dirs.begin(), dirs.end());
  progress_view view = make_view(a);
  term_catch_interrupts();
  session s(a);
  stop_if_asked("restore");
  restore_all_pass p = run_restore_all(a, dirs, view);
  if (p.cancelled) return cancelled_status();
  if (!p.errors.empty()) {
    std::string text = std::to_string(p.errors.size()) + " of " + std::to_string(dirs.size()) + " folders not fully restored:";
    for (const auto &e : p.errors) text += "\n  " + e;
    throw failure(text);
  }
  return 0;
}

}  // namespace kqcli
