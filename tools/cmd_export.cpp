// export: search one folder, start the library's job on what it found,
// follow it with a progress view (follow_job, which turns Ctrl-C, SIGTERM
// and SIGHUP into a clean cancel that leaves a resumable archive) and sum it
// up.
#include <cstdio>
#include <cstring>
#include <string>

#include "advice.h"
#include "events.h"
#include "export_common.h"
#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "term.h"
#include "progress.h"

namespace kqcli {

int cmd_export(const args &a) {
  const std::string &folder = a.positional[0];
  // Without DIR the library places the archive in the account's (see
  // announce below).
  std::string dir = a.positional.size() > 1 ? a.positional[1] : "";
  if (dir.empty() && a.archive_root.empty()) throw usage_error("DIR is empty");
  progress_view view = make_view(a);
  bool resume = !a.has("no-resume");
  if (a.has("flat") && a.has("dated")) throw usage_error("--flat and --dated exclude each other");

  term_catch_interrupts();
  session s(a);
  int rows = run_search(folder, a);
  stop_if_asked("export");
  if (rows == 0) {
    json_object ev;
    ev.str("folder", folder).num("new", 0).num("stored", 0);
    log_event("folder_done", ev);
    if (human_output(a))
      std::printf("Nothing to export: the search found no messages in %s.\n", header_display(folder).c_str());
    return 0;
  }

  json_object cfg;
  bool dated = a.has("dated");
  if (dir.empty()) cfg.str("archive_root", a.archive_root);
  else cfg.str("dir", dir);
  cfg.str("format", archive_format(a))
      .str("naming", dated ? "YYYY\\MM\\uid" : "uid")
      .num("resume", resume ? 1 : 0)
      .num("manifest", a.has("no-manifest") ? 0 : 1);
  auto started = steady::now();
  auto announce = [&] {
    json_object ev;
    ev.str("folder", folder).str("dir", dir).num("found", rows);
    log_event("folder_started", ev);
    say(1, "exporting " + std::to_string(rows) + " found messages of " + header_display(folder) + " into " + dir);
  };
  if (!dir.empty()) announce();
  if (kq_export_start(cfg.text().c_str()) != 0) lib_fail("cannot start the export");
  if (dir.empty()) {
    // The subdirectory export-all gives the folder: the library's one rule
    // names it.
    jvalue st;
    if (json_parse(kq_export_stats_json(), st)) dir = st["dir"].as_str();
    if (dir.empty()) dir = a.archive_root;
    announce();
  }

  const std::string label = folder;
  const job_end end = follow_job(view, label);
  const bool cancelling = end.cancelled;
  const int state = end.state;
  job_snapshot last = end.last;
  if (cancelling) last.note = "cancelled";
  view.show(label, last, true);
  view.keep();
  say_recovery(view, label, last);

  // The job's reason is in its stats: the library's last error belongs to
  // the thread that failed, the job's own.
  if (state == st_error) {
    json_object ev;
    ev.str("folder", folder).str("error", last.error);
    log_event("folder_failed", ev);
    throw failure("the export stopped on an error: " + in_tool_words(last.error.empty() ? "unknown error" : last.error) +
                  (last.current.empty() ? "" : " (at " + header_display(last.current) + ")") +
                  ".\nThe messages stored so far stay in " + dir + "; " + after_stop_advice(last.error));
  }
  long long skipped = rows - last.total;
  if (cancelling) {
    std::fprintf(stderr, "Export cancelled: %lld of %s stored in this run.\n", last.done,
                 count_text(last.total, "message", "messages").c_str());
    resumable_note(resume, dir);
    return cancelled_status();
  }
  bool recreated = std::strstr(kq_export_stats_json(), "\"recreated\":true") != nullptr;
  {
    json_object ev;
    ev.str("folder", folder).str("dir", dir).num("new", last.done).num("bytes", last.bytes);
    log_event("folder_done", ev);
  }
  if (!human_output(a)) return 0;
  std::printf("Exported %s (%s) from %s into %s in %s.\n",
              count_text(last.done, "message", "messages").c_str(), human_bytes(last.bytes).c_str(),
              header_display(folder).c_str(), dir.c_str(),
              human_duration(static_cast<long long>(seconds_since(started))).c_str());
  // The UIDs of a folder deleted and created again name other messages: none
  // of the earlier run's count as stored, and nothing of theirs was replaced.
  if (recreated)
    std::printf("The folder was deleted and created again on the server since the last run "
                "(its UIDVALIDITY changed): its messages were stored beside the earlier ones, "
                "none of which was replaced.\n");
  if (skipped > 0 && resume && !recreated) {
    std::printf("New since the last run: %s.\n", count_text(last.done, "message", "messages").c_str());
    std::printf("%s stored by an earlier run %s skipped.\n",
                count_text(skipped, "message", "messages").c_str(), skipped == 1 ? "was" : "were");
  }
  if (!a.has("no-manifest")) std::printf("Check it with: kerquill verify %s\n", shell_word(dir).c_str());
  return 0;
}

}  // namespace kqcli
