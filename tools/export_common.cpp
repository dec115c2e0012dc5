// Pieces export and export-all share: the progress view from the options,
// the words for a stop and the exit status after one, the archive's figures
// and the loop that follows one export job.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "advice.h"
#include "events.h"
#include "export_common.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
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

job_end follow_job(progress_view &view, const std::string &label) {
  job_end end;
  steady::time_point next_draw = steady::now();
  for (;;) {
    const int state = end.state = kq_export_status();
    if (term_interrupts() > 0 && !end.cancelled) {
      end.cancelled = true;
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
      if (j.word.empty() && stopped && end.cancelled && kq_export_cancel() != 0) break;
      if (steady::now() >= next_draw) {
        view.show(label, j);
        next_draw = steady::now() + k_redraw;
      }
    }
    std::this_thread::sleep_for(k_check);
  }
  end.last = read_job();
  return end;
}

}  // namespace kqcli
