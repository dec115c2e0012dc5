// export-all: every chosen folder into a subdirectory of one directory. The
// tool picks and orders the folders (INBOX first, then the hierarchy) and
// hands that list, and --since, to the library's batch (export_all_batch);
// with --dry-run it only counts (export_all_plan).
#include <cstdio>
#include <string>
#include <vector>

#include "advice.h"
#include "events.h"
#include "export_all.h"
#include "export_common.h"
#include "format.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

void check_export_all_options(const args &a) {
  if (a.has("flat") && a.has("dated")) throw usage_error("--flat and --dated exclude each other");
  if (a.has("since")) check_day("--since", a.value("since"));
  long long connections = a.number("connections", 1);
  if (connections < 1 || connections > 8) throw usage_error("--connections wants 1 to 8");
}

export_all_pass run_export_all(const args &a, const std::string &dir, progress_view &view) {
  export_all_pass p;
  folder_listing listing = list_folders();
  std::vector<folder_info> chosen = chosen_folders(a, listing);
  stop_if_asked("export");

  std::vector<folder_result> &results = p.results;
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
  if (a.has("dry-run")) {
    p.dry_run_status = dry_run(a, dir, results);
    return p;
  }

  auto started = steady::now();
  say(1, "exporting " + count_text(static_cast<long long>(results.size()), "folder", "folders") + " into " + dir +
             (a.has("since") ? " (messages since " + a.value("since") + ")" : ""));
  jvalue status;
  int bstate = follow_batch(a, dir, results, view, status, p.cancelled);
  view.keep();
  if (p.cancelled) return p;

  std::vector<const folder_result *> failed;
  bool table = human_output(a);
  if (table) std::printf("%s %8s %9s %6s\n", pad("FOLDER", 28).c_str(), "MESSAGES", "SIZE", "NEW");
  for (const auto &r : results) {
    if (r.word == "done") {
      ++p.done;
      p.messages += r.messages;
      p.bytes += r.bytes;
      p.added += r.fresh;
      if (table)
        std::printf("%s %8lld %9s %6lld\n", pad(shown(r.folder), 28).c_str(), r.messages,
                    human_bytes(r.bytes).c_str(), r.fresh);
    } else if (r.word == "unreadable") {
      ++p.unreadable;
      if (table) std::printf("%s %8s\n", pad(shown(r.folder), 28).c_str(), "unreadable");
    } else if (r.word == "error" || (r.word != "pending" && bstate != st_done)) {
      failed.push_back(&r);
      if (table) std::printf("%s %8s\n", pad(shown(r.folder), 28).c_str(), "failed");
    }
  }
  p.seconds = seconds_since(started);
  {
    json_object ev;
    ev.num("folders", p.done)
        .num("failed", static_cast<long long>(failed.size()))
        .num("unreadable", p.unreadable)
        .num("messages", p.messages)
        .num("bytes", p.bytes)
        .num("new", p.added)
        .num("seconds", static_cast<long long>(p.seconds));
    log_event("totals", ev);
  }

  // A batch that failed only on folders read as unreadable has done its work.
  bool complete = true;
  for (const auto &r : results) complete = complete && (r.word == "done" || r.word == "unreadable");
  if (bstate != st_done && !(complete && !results.empty())) {
    std::string names;
    for (const auto *r : failed) names += (names.empty() ? "" : ", ") + shown(r->folder);
    std::string what = failed.size() == 1 ? "the export of folder " + names + " failed"
                       : failed.empty()   ? std::string("the export of all folders failed")
                                          : "the export of " + std::to_string(failed.size()) + " folders failed (" +
                                              names + ")";
    // The batch's reason is in its status: the library's last error belongs
    // to the thread that failed, the batch's own.
    std::string why = status["error"].as_str();
    if (why.empty() && !failed.empty()) why = failed.front()->reason;
    p.failed = what + ": " + clause(in_tool_words(why.empty() ? "unknown error" : why));
    p.advice = after_stop_advice(why);
  }
  return p;
}

void print_export_summary(const args &a, const std::string &dir, const export_all_pass &p) {
  if (!human_output(a)) return;
  std::printf("Archived %s (%s) of %s into %s in %s.\n", count_text(p.messages, "message", "messages").c_str(),
              human_bytes(p.bytes).c_str(), count_text(p.done, "exported folder", "exported folders").c_str(),
              dir.c_str(), human_duration(static_cast<long long>(p.seconds)).c_str());
  std::printf("New since the last run: %s.\n", count_text(p.added, "message", "messages").c_str());
  if (p.unreadable > 0) {
    std::string names;
    for (const auto &r : p.results)
      if (r.word == "unreadable") names += (names.empty() ? "" : ", ") + shown(r.folder);
    std::printf("Passed over %s: %s.\n",
                count_text(p.unreadable, "unreadable folder", "unreadable folders").c_str(), names.c_str());
  }
}

int cmd_export_all(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  progress_view view = make_view(a);
  bool resume = !a.has("no-resume");
  check_export_all_options(a);

  term_catch_interrupts();
  session s(a);
  export_all_pass p = run_export_all(a, dir, view);
  if (p.dry_run_status >= 0) return p.dry_run_status;
  if (p.cancelled) {
    log_event("cancelled");
    std::fprintf(stderr, "Export of all folders cancelled.\n");
    resumable_note(resume, dir);
    return cancelled_status();
  }
  if (!p.failed.empty())
    throw failure(p.failed + ".\nFolders already exported stay in " + dir + "; " + p.advice);
  print_export_summary(a, dir, p);
  if (human_output(a) && !a.has("no-manifest"))
    std::printf("Check it with: kerquill verify %s\n", shell_word(dir).c_str());
  return 0;
}

}  // namespace kqcli
