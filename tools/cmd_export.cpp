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
#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "patterns.h"
#include "progress.h"
#include "term.h"

namespace kqcli {

namespace {

using clock = std::chrono::steady_clock;
// The library has no call that waits for a job, so the CLI looks at its
// state (one atomic read) this often and notices the end at once...
constexpr auto k_check = std::chrono::milliseconds(10);
// ...while the progress, which costs a JSON text, is redrawn this often.
constexpr auto k_redraw = std::chrono::milliseconds(100);

enum job_state { st_idle = 0, st_running = 1, st_done = 2, st_paused_or_cancelled = 3, st_error = 4 };

progress_view make_view(const args &a) {
  long long every = a.number("progress-interval", 5);
  if (every < 1) throw usage_error("--progress-interval wants at least 1 second");
  return progress_view(!a.has("quiet"), term_is_tty(stream::err), static_cast<int>(every));
}

double seconds_since(clock::time_point t) {
  return std::chrono::duration<double>(clock::now() - t).count();
}

std::string count_text(long long n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string cancel_note() {
  return term_stopped_by_ctrl_c()
             ? "Stopping after the current message... (press Ctrl-C again to stop at once)"
             : "Stop signal received: stopping after the current message...";
}

// After a clean stop: 1 for Ctrl-C (the user cancelled), 128 + the signal for
// SIGTERM and SIGHUP, as a service manager expects of a stopped job.
int cancelled_status() {
  return term_stopped_by_ctrl_c() || term_first_signal() == 0 ? 1 : 128 + term_first_signal();
}

void resumable_note(bool resume, const std::string &dir) {
  std::fprintf(stderr,
               resume ? "%s is resumable: run the same command again to continue.\n"
                      : "The stored messages stay in %s (this run did not keep resume data).\n",
               dir.c_str());
}

// A stop requested before the job started: nothing to cancel, nothing lost.
void stop_if_asked(const char *what) {
  if (term_interrupts() > 0) {
    std::fprintf(stderr, "Stopped before the %s started; nothing was written.\n", what);
    std::fflush(stderr);
    std::exit(cancelled_status());
  }
}

// The word the batch status gives the folder at idx; "" when the text left
// it out.
std::string folder_word(const jvalue &status, long long idx) {
  const auto &folders = status["folders"].members;
  if (idx < 0 || idx >= static_cast<long long>(folders.size())) return "";
  return folders[static_cast<std::size_t>(idx)].second.as_str();
}

// The subdirectory name that keys the folder at idx in the batch status; ""
// when the text left it out.
std::string folder_key(const jvalue &status, long long idx) {
  const auto &folders = status["folders"].members;
  if (idx < 0 || idx >= static_cast<long long>(folders.size())) return "";
  return folders[static_cast<std::size_t>(idx)].first;
}

// A library text to end a sentence of ours: without its own final period.
std::string clause(std::string text) {
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// "folder 2/3: Projects/2024" -> "Projects/2024".
std::string folder_of_current(const std::string &current) {
  if (current.rfind("folder ", 0) != 0) return current;
  std::size_t colon = current.find(": ");
  return colon == std::string::npos ? current.substr(7) : current.substr(colon + 2);
}

// With -v: what the job went through to get past a troubled connection.
void say_recovery(progress_view &view, const std::string &label, const job_snapshot &j) {
  std::string counts = recovery_counts(j.retries, j.reconnects);
  if (g_verbosity >= 1 && !counts.empty()) view.note("kerquill: " + header_display(label) + ": " + counts);
}

// Messages the manifests of these archive directories list.
long long manifest_messages(const std::vector<std::string> &dirs) {
  long long n = 0;
  for (const auto &d : dirs) {
    jvalue st;
    if (json_parse(kq_archive_stats_json(d.c_str()), st)) n += st["messages"].as_int();
  }
  return n;
}

}  // namespace

std::string folder_dir_name(const std::string &folder) {
  std::string out = folder;
  for (char &c : out)
    if (c == '/' || c == '\\' || c == '"') c = '_';
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

std::vector<std::string> chosen_folders(const args &a) {
  std::vector<std::string> named = a.values("folder");
  for (const auto &f : named)
    if (f.empty()) throw usage_error("--folder wants a folder name");
  const auto &include = a.values("include"), &exclude = a.values("exclude");
  for (const auto *list : {&include, &exclude})
    for (const auto &p : *list)
      if (p.empty()) throw usage_error("--include and --exclude want a pattern");
  if (include.empty() && exclude.empty()) return named;

  std::vector<std::string> candidates = named;
  if (candidates.empty()) {
    std::string text = kq_folders_json();
    jvalue list;
    if (text.empty() || !json_parse(text, list) || list.type != jvalue::array)
      lib_fail("cannot list the folders");
    for (const auto &f : list.items) {
      // A folder that cannot be opened (a \Noselect parent) lists as empty;
      // with nothing in it there is nothing to export either.
      if (f["count"].as_int() <= 0) continue;
      candidates.push_back(f["name"].as_str());
    }
  }
  std::vector<std::string> kept = filter_folders(candidates, include, exclude);
  if (kept.empty()) throw failure("no folder with messages matches --include/--exclude");
  std::string shown;
  for (const auto &f : kept) shown += (shown.empty() ? "" : ", ") + header_display(f);
  say(1, "folders chosen: " + shown);
  return kept;
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
    std::printf("Nothing to export: the search found no messages in %s.\n", header_display(folder).c_str());
    return 0;
  }

  json_object cfg;
  bool dated = a.has("dated");
  cfg.str("dir", dir)
      .str("format", a.has("mbox") ? "eml+mbox" : "eml")
      .str("naming", dated ? "YYYY\\MM\\uid" : "uid")
      .num("resume", resume ? 1 : 0)
      .num("manifest", a.has("no-manifest") ? 0 : 1);
  auto started = clock::now();
  say(1, "exporting " + std::to_string(rows) + " found messages of " + header_display(folder) + " into " + dir);
  if (kq_export_start(cfg.text().c_str()) != 0) lib_fail("cannot start the export");

  const std::string label = folder;
  bool cancelling = false;
  int state = st_running;
  clock::time_point next_draw = clock::now();
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
    if (stopped || clock::now() >= next_draw) {
      job_snapshot j = read_job();
      if (j.ended()) break;
      // Without the state word, a cancelled job also reads 3; it has ended
      // once cancel is refused.
      if (j.word.empty() && stopped && cancelling && kq_export_cancel() != 0) break;
      if (clock::now() >= next_draw) {
        view.show(label, j);
        next_draw = clock::now() + k_redraw;
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
  if (state == st_error)
    throw failure("the export stopped on an error: " + in_tool_words(last.error.empty() ? "unknown error" : last.error) +
                  (last.current.empty() ? "" : " (at " + header_display(last.current) + ")") +
                  ".\nThe messages stored so far stay in " + dir + "; " + after_stop_advice(last.error));
  long long skipped = rows - last.total;
  if (cancelling) {
    std::fprintf(stderr, "Export cancelled: %lld of %s stored in this run.\n", last.done,
                 count_text(last.total, "message", "messages").c_str());
    resumable_note(resume, dir);
    return cancelled_status();
  }
  std::printf("Exported %s (%s) from %s into %s in %s.\n",
              count_text(last.done, "message", "messages").c_str(), human_bytes(last.bytes).c_str(),
              header_display(folder).c_str(), dir.c_str(),
              human_duration(static_cast<long long>(seconds_since(started))).c_str());
  // The UIDs of a folder deleted and created again name other messages: none
  // of the earlier run's count as stored, and nothing of theirs was replaced.
  bool recreated = std::strstr(kq_export_stats_json(), "\"recreated\":true") != nullptr;
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

int cmd_export_all(const args &a) {
  const std::string &dir = a.positional[0];
  if (dir.empty()) throw usage_error("DIR is empty");
  progress_view view = make_view(a);
  bool resume = !a.has("no-resume");
  if (a.has("flat") && a.has("dated")) throw usage_error("--flat and --dated exclude each other");

  term_catch_interrupts();
  session s(a);
  std::vector<std::string> chosen = chosen_folders(a);
  stop_if_asked("export");
  std::string folders = "[";
  for (const auto &f : chosen) {
    if (folders.size() > 1) folders += ',';
    json_put_str(folders, f);
  }
  folders += "]";
  json_object cfg;
  cfg.str("dir", dir).num("resume", resume ? 1 : 0).num("manifest", a.has("no-manifest") ? 0 : 1);
  if (a.has("flat")) cfg.str("naming", "uid");
  if (folders.size() > 2) cfg.raw("folders", folders);

  // What the archives held before, to tell how much this run added.
  std::map<std::string, long long> before;
  {
    bool nested;
    for (const auto &ar : find_archives(dir, nested))
      if (nested) before[ar.label] = manifest_messages({ar.path});
  }

  auto started = clock::now();
  say(1, "exporting " + (chosen.empty() ? std::string("every folder") : std::to_string(chosen.size()) + " folders") +
             " into " + dir);
  if (kq_export_all_folders(cfg.text().c_str()) != 0) lib_fail("cannot start exporting all folders");

  bool cancelling = false;
  clock::time_point idle_since{};
  long long last_idx = -1;
  bool job_seen = false;  // the current folder's export job was seen running
  job_snapshot seen;      // its last counts
  std::string label = "folders";
  jvalue status;
  // Each folder the server would not let be read, warned about once.
  std::set<std::string> warned;
  auto warn_unreadable = [&] {
    for (const auto &m : status["unreadable"].members) {
      if (!warned.insert(m.first).second) continue;
      const std::string &why = m.second.as_str();
      view.note("kerquill: warning: folder " + printable(m.first, false) + " is not readable" +
                (why.empty() ? "" : ": " + printable(clause(why), false)) + "; passed over");
    }
  };
  long long label_idx = -1;  // the folder the label names
  // Closes the line of the folder at idx, which the batch has left.
  auto close_line = [&](long long idx) {
    std::string word = folder_word(status, idx);
    // A folder passed over between two looks was never the current one.
    std::string key = folder_key(status, idx);
    if (idx != label_idx && !key.empty()) label = key;
    if (word == "unreadable") {
      view.status(label, "not readable: passed over");
    } else if (word == "error") {
      view.status(label, "failed");
    } else if (job_seen) {
      // The job record may already belong to a later folder: close the line
      // with what was seen of this folder's own job.
      seen.done = seen.total;
      seen.note = "done";
      view.show(label, seen, true);
    } else if (idx >= 0) {
      view.status(label, "done");  // searched and exported between two looks
    }
    view.keep();
    if (job_seen) say_recovery(view, label, seen);
  };
  clock::time_point next_draw = clock::now();
  for (;;) {
    json_parse(kq_export_all_status_json(), status);
    warn_unreadable();
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
      if (idle_since == clock::time_point{}) idle_since = clock::now();
      if (seconds_since(idle_since) > 10) {
        view.note("kerquill: the batch does not finish after the cancel; leaving it.");
        break;
      }
    } else {
      idle_since = {};
    }
    // The end is looked for at every check, the view redrawn less often.
    if (clock::now() < next_draw) {
      std::this_thread::sleep_for(k_check);
      continue;
    }
    next_draw = clock::now() + k_redraw;

    long long idx = status["folder_idx"].as_int();
    job_snapshot j = read_job();
    if (idx != last_idx) {
      // The batch moved on: the previous folder is through.
      close_line(last_idx);
      last_idx = idx;
      job_seen = false;
    }
    std::string current = status["current"].as_str();
    if (!current.empty()) {
      label = current.rfind("folder ", 0) == 0 ? current.substr(7) : current;
      label_idx = idx;
    }
    if (j.state == st_running || j.state == st_paused_or_cancelled) {
      job_seen = true;
      seen = j;
    }
    if (job_seen)
      view.show(label, seen);
    else
      view.status(label, "searching...");
    std::this_thread::sleep_for(k_check);
  }
  long long bstate = status["state"].as_int();
  job_snapshot last = read_job();
  if (bstate == st_done && !cancelling) {
    long long idx = status["folder_idx"].as_int();
    if (idx == last_idx && job_seen && folder_word(status, idx) == "done") {
      // No job starts after the last one, so the record holds its final counts.
      view.show(label, last, true);
      view.keep();
      say_recovery(view, label, last);
    } else {
      if (idx != last_idx) {
        close_line(last_idx);
        job_seen = false;
      }
      close_line(idx);
    }
  }
  view.keep();

  if (cancelling) {
    std::fprintf(stderr, "Export of all folders cancelled.\n");
    resumable_note(resume, dir);
    return cancelled_status();
  }
  if (bstate != st_done) {
    // Named from the batch's final status, not from what the last look saw:
    // the batch may have moved on since, and a run that went on after a
    // folder failed ends with no folder current.
    std::string what;
    std::string current = status["current"].as_str();
    if (!current.empty()) {
      what = "the export stopped at folder " + header_display(folder_of_current(current));
    } else {
      std::vector<std::string> failed;
      for (const auto &m : status["folders"].members)
        if (m.second.as_str() == "error") failed.push_back(printable(m.first, false));
      std::string names;
      for (const auto &f : failed) names += (names.empty() ? "" : ", ") + f;
      what = failed.size() == 1 ? "the export of folder " + names + " failed"
             : failed.empty()   ? std::string("the export of all folders failed")
                                : "the export of " + std::to_string(failed.size()) + " folders failed (" + names + ")";
    }
    // The batch's reason is in its status: the library's last error belongs
    // to the thread that failed, the batch's own.
    std::string why = status["error"].as_str();
    throw failure(what + ": " + clause(in_tool_words(why.empty() ? "unknown error" : why)) +
                  ".\nFolders already exported stay in " + dir + "; " + after_stop_advice(why));
  }

  // The batch names each of its folders by its subdirectory: the totals
  // cover those alone, not whatever else DIR holds.
  std::set<std::string> batch_dirs;
  for (const auto &m : status["folders"].members) batch_dirs.insert(m.first);
  bool nested;
  std::vector<archive> list = find_archives(dir, nested);
  long long messages = 0, bytes = 0, added = 0;
  std::printf("%s %8s %9s %6s\n", pad("FOLDER", 28).c_str(), "MESSAGES", "SIZE", "NEW");
  for (const auto &ar : list) {
    jvalue st;
    if (!nested || (!batch_dirs.empty() && !batch_dirs.count(ar.label))) continue;
    if (!json_parse(kq_archive_stats_json(ar.path.c_str()), st)) continue;
    long long n = st["messages"].as_int();
    long long fresh = resume ? n - (before.count(ar.label) ? before[ar.label] : 0) : n;
    if (fresh < 0) fresh = 0;
    messages += n;
    added += fresh;
    bytes += st["bytes"].as_int();
    std::printf("%s %8lld %9s %6lld\n", pad(printable(ar.label, false), 28).c_str(), n,
                human_bytes(st["bytes"].as_int()).c_str(), fresh);
  }
  std::printf("Archived %s (%s) of %s into %s in %s.\n",
              count_text(messages, "message", "messages").c_str(), human_bytes(bytes).c_str(),
              count_text(status["done_folders"].as_int(), "exported folder", "exported folders").c_str(),
              dir.c_str(), human_duration(static_cast<long long>(seconds_since(started))).c_str());
  std::printf("New since the last run: %s.\n", count_text(added, "message", "messages").c_str());
  // The count covers folders whose names did not fit in the status text.
  long long unreadable = status["unreadable_folders"].as_int(static_cast<long long>(warned.size()));
  if (unreadable > 0) {
    std::string names;
    for (const auto &m : status["unreadable"].members) names += (names.empty() ? "" : ", ") + printable(m.first, false);
    std::printf("Passed over %s: %s.\n", count_text(unreadable, "unreadable folder", "unreadable folders").c_str(),
                names.c_str());
  }
  if (!a.has("no-manifest")) std::printf("Check it with: kerquill verify %s\n", shell_word(dir).c_str());
  return 0;
}

}  // namespace kqcli
