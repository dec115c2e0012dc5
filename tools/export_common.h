// Pieces export and export-all share: the progress view from the options, the
// words for a stop, the exit status after one, the output switches, and the
// loop that follows one export job.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "cli.h"
#include "progress.h"

namespace kqcli {

using steady = std::chrono::steady_clock;

// The library has no call that waits for a job, so the CLI looks at its
// state (one atomic read) this often and notices the end at once...
constexpr auto k_check = std::chrono::milliseconds(10);
// ...while the progress, which costs a JSON text, is redrawn this often.
constexpr auto k_redraw = std::chrono::milliseconds(100);

enum job_state { st_idle = 0, st_running = 1, st_done = 2, st_paused_or_cancelled = 3, st_error = 4 };

// The progress view --quiet, --log-format and --progress-interval ask for.
progress_view make_view(const args &a);
// The human summary on stdout: not with --quiet, not between JSON lines.
bool human_output(const args &a);

double seconds_since(steady::time_point t);
std::string count_text(long long n, const char *one, const char *many);
std::string cancel_note();
// After a clean stop: 1 for Ctrl-C, 128 + the signal for SIGTERM and SIGHUP.
int cancelled_status();
void resumable_note(bool resume, const std::string &dir);
// A stop requested before the job started: nothing to cancel, nothing lost.
void stop_if_asked(const char *what);
// A library text to end a sentence of ours: without its own final period.
std::string clause(std::string text);
// With -v: what the job went through to get past a troubled connection.
void say_recovery(progress_view &view, const std::string &label, const job_snapshot &j);
// Messages the manifests of these archive directories list.
long long manifest_messages(const std::vector<std::string> &dirs);
// The library's "format" from --format (eml or maildir) and --mbox:
// "eml", "eml+mbox", "maildir", "maildir+mbox"; usage_error for another
// --format.
std::string archive_format(const args &a);
// Throws usage_error unless text is a real day written YYYY-MM-DD.
void check_day(const std::string &option, const std::string &text);

// How a followed export job ended.
struct job_end {
  int state = st_running;  // kq_export_status() when the job was seen ending
  bool cancelled = false;  // a stop request cancelled it
  job_snapshot last;       // its closing figures
};
// Follows the running export job to its end, drawing its progress under
// label; the first stop request (Ctrl-C, SIGTERM, SIGHUP) cancels it, so
// the archive stays resumable.
job_end follow_job(progress_view &view, const std::string &label);

}  // namespace kqcli
