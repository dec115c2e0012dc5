// export and export-all: start the library's job, follow it with a progress
// view, and turn Ctrl-C, SIGTERM and SIGHUP into a clean cancel that leaves a
// resumable archive.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "advice.h"
#include "events.h"
#include "export_common.h"
#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "patterns.h"
#include "progress.h"
#include "term.h"

namespace kqcli {

progress_view make_view(const args &a) {
  long long every = a.number("progress-interval", 5);
  if (every < 1) throw usage_error("--progress-interval wants at least 1 second");
  std::string format = a.value("log-format", "text");
  if (format != "text" && format != "json")
    throw usage_error("--log-format wants text or json, not '" + format + "'");
  // The redrawn bar only for a person at a terminal: with the output going to
  // a file or a pipe (cron, a service) progress is plain lines, even when
  // standard error is still a terminal.
  bool tty = term_is_tty(stream::err) && term_is_tty(stream::out);
  return progress_view(!a.has("quiet"), tty, static_cast<int>(every));
}

bool human_output(const args &a) { return !a.has("quiet") && !g_json_log; }

double seconds_since(steady::time_point t) {
  return std::chrono::duration<double>(steady::now() - t).count();
}

std::string count_text(long long n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string cancel_note() {
  return term_stopped_by_ctrl_c()
             ? "Stopping after the current message... (press Ctrl-C again to stop at once)"
             : "Stop signal received: stopping after the current message...";
}

int cancelled_status() {
  return term_stopped_by_ctrl_c() || term_first_signal() == 0 ? 1 : 128 + term_first_signal();
}

void resumable_note(bool resume, const std::string &dir) {
  std::fprintf(stderr,
               resume ? "%s is resumable: run the same command again to continue.\n"
                      : "The stored messages stay in %s (this run did not keep resume data).\n",
               dir.c_str());
}

void stop_if_asked(const char *what) {
  if (term_interrupts() > 0) {
    std::fprintf(stderr, "Stopped before the %s started; nothing was written.\n", what);
    std::fflush(stderr);
    std::exit(cancelled_status());
  }
}

std::string clause(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

void say_recovery(progress_view &view, const std::string &label, const job_snapshot &j) {
  std::string counts = recovery_counts(j.retries, j.reconnects);
  if (g_verbosity >= 1 && !counts.empty()) view.note("kerquill: " + header_display(label) + ": " + counts);
}

long long manifest_messages(const std::vector<std::string> &dirs) {
  long long n = 0;
  for (const auto &d : dirs) {
    jvalue st;
    if (json_parse(kq_archive_stats_json(d.c_str()), st)) n += st["messages"].as_int();
  }
  return n;
}

std::string archive_format(const args &a) {
  std::string base = a.value("format", "eml");
  if (base != "eml" && base != "maildir")
    throw usage_error("--format wants eml or maildir, not '" + base + "'");
  return a.has("mbox") ? base + "+mbox" : base;
}

void check_day(const std::string &option, const std::string &text) {
  auto bad = [&] {
    return usage_error(option + " wants a day written YYYY-MM-DD (for example 2024-03-01), not '" + text + "'");
  };
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') throw bad();
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') throw bad();
  int y = std::stoi(text.substr(0, 4)), m = std::stoi(text.substr(5, 2)), d = std::stoi(text.substr(8, 2));
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (y < 1970 || m < 1 || m > 12 || d < 1 || d > days[m - 1] || (m == 2 && d == 29 && !leap)) throw bad();
}

// The rule the library names an export-all subdirectory by, for `export
// FOLDER` without DIR when no archive of that folder exists yet. Where one
// exists, its resume.json names the folder and that directory is used
// (archive_of_folder). The library's archive summary names no folder, so for a
// folder never archived the tool still has to know the rule itself: keep it
// in step with the library's batch naming (its display name, '/', '\\' and
// '"' as '_').
std::string folder_dir_name(const std::string &folder) {
  std::string out = folder;
  for (char &c : out)
    if (c == '/' || c == '\\' || c == '"') c = '_';
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

int cmd_export(const args &a) {
  const std::string &folder = a.positional[0];
  const std::string &dir = a.positional[1];
  if (dir.empty()) throw usage_error("DIR is empty");
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
  cfg.str("dir", dir)
      .str("format", archive_format(a))
      .str("naming", dated ? "YYYY\\MM\\uid" : "uid")
      .num("resume", resume ? 1 : 0)
      .num("manifest", a.has("no-manifest") ? 0 : 1);
  auto started = steady::now();
  {
    json_object ev;
    ev.str("folder", folder).str("dir", dir).num("found", rows);
    log_event("folder_started", ev);
  }
  say(1, "exporting " + std::to_string(rows) + " found messages of " + header_display(folder) + " into " + dir);
  if (kq_export_start(cfg.text().c_str()) != 0) lib_fail("cannot start the export");

  const std::string label = folder;
  bool cancelling = false;
  int state = st_running;
  steady::time_point next_draw = steady::now();
  for (;;) {
    state = kq_export_status();
    if (term_interrupts() > 0 && !cancelling) {
      cancelling = true;
      kq_export_cancel();
      view.note(cancel_note());
    }
    if (state == st_done || state == st_error || state == st_idle) break;
    // Status 3 is a pause or a cancel: only the state word tells them apart.
    bool stopped = state == st_paused_or_cancelled;
    if (stopped || steady::now() >= next_draw) {
      job_snapshot j = read_job();
      if (j.ended()) break;
      // Without the state word, a cancelled job also reads 3; it has ended
      // once cancel is refused.
      if (j.word.empty() && stopped && cancelling && kq_export_cancel() != 0) break;
      if (steady::now() >= next_draw) {
        view.show(label, j);
        next_draw = steady::now() + k_redraw;
      }
    }
    std::this_thread::sleep_for(k_check);
  }
  job_snapshot last = read_job();
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
