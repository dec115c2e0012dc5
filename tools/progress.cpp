#include "progress.h"

#include <cstdio>

#include "cli.h"
#include "format.h"
#include "json.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

job_snapshot read_job() {
  job_snapshot j;
  j.state = kq_export_status();
  jvalue s;
  if (json_parse(kq_export_stats_json(), s)) {
    j.done = s["done"].as_int();
    j.total = s["total"].as_int();
    j.bytes = s["bytes"].as_int();
    j.eta_s = s["eta_s"].as_int();
    j.speed_bps = s["speed_bps"].as_int();
    j.word = s["state"].as_str();
    j.retries = s["retries"].as_int();
    j.reconnects = s["reconnects"].as_int();
    j.error = s["error"].as_str();
  }
  j.current = kq_export_current();
  return j;
}

progress_view::progress_view(bool enabled, bool tty, int interval_s)
    : enabled_(enabled), tty_(tty), interval_s_(interval_s < 1 ? 1 : interval_s) {}

void progress_view::emit(const std::string &line) {
  if (tty_) {
    // Return to column 0 and clear the old bar before drawing the new one.
    std::fprintf(stderr, "\r\x1b[2K%s", line.c_str());
    drawn_ = true;
  } else {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

void progress_view::show(const std::string &label, const job_snapshot &j, bool force) {
  if (!enabled_) return;
  // Until the worker has counted what it has to store, counters would read
  // "0/0 0%"; say what is going on instead. A job that ends that way had
  // nothing new to store.
  if (j.total <= 0) {
    if (force) status(label, j.note.empty() ? "nothing new to store" : j.note);
    else if (label != label_ || status_text_.empty()) status(label, "preparing...");
    return;
  }
  status_text_.clear();
  auto now = clock::now();
  if (label != label_) {
    label_ = label;
    label_start_ = now;
    label_done0_ = j.done;
  }
  if (!tty_ && printed_any_ && !force &&
      now - last_line_ < std::chrono::seconds(interval_s_))
    return;
  last_line_ = now;
  printed_any_ = true;

  // The library's estimate first; else one from this run's own pace.
  long long eta = j.eta_s;
  double secs = std::chrono::duration<double>(now - label_start_).count();
  long long done_here = j.done - label_done0_;
  if (eta <= 0 && done_here > 0 && j.total > j.done && secs > 1.0)
    eta = static_cast<long long>(secs / static_cast<double>(done_here) *
                                 static_cast<double>(j.total - j.done));
  double speed = static_cast<double>(j.speed_bps);
  if (speed <= 0 && secs > 0.2) speed = static_cast<double>(j.bytes) / secs;
  int pct = j.total > 0 ? static_cast<int>(100 * j.done / j.total) : 0;
  if (pct > 100) pct = 100;

  char counts[160];
  std::snprintf(counts, sizeof counts, "%lld/%lld %3d%%  %.1f MB/s  ETA %s", j.done, j.total, pct,
                speed / 1e6, j.total > j.done && eta > 0 ? human_duration(eta).c_str() : "--:--");
  std::string current = !j.note.empty() ? j.note
                        : !j.word.empty() && j.word != "running" ? j.word
                        : j.state == 3 ? "paused"
                                       : header_display(j.current);

  if (tty_) {
    std::size_t width = static_cast<std::size_t>(term_width());
    const std::size_t bar_w = 24;
    std::size_t filled = j.total > 0 ? static_cast<std::size_t>(bar_w * j.done / j.total) : 0;
    if (filled > bar_w) filled = bar_w;
    std::string bar = "[" + std::string(filled, '#') + std::string(bar_w - filled, '-') + "]";
    std::string line = fit(header_display(label), 28) + " " + bar + " " + counts;
    std::size_t used = text_width(line);
    if (!current.empty() && used + 4 < width) line += "  " + fit(current, width - used - 3);
    emit(fit(line, width - 1));
  } else {
    // A log keeps what it is given: the message being stored (its subject)
    // goes in only when -v asks for detail.
    bool subject = j.note.empty() && (j.word.empty() || j.word == "running") && j.state != 3;
    std::string line = "progress: " + header_display(label) + " " + counts;
    if (!current.empty() && (!subject || g_verbosity >= 1)) line += "  " + current;
    emit(line);
  }
}

void progress_view::status(const std::string &label, const std::string &text) {
  if (!enabled_) return;
  auto now = clock::now();
  if (!tty_ && label == label_ && text == status_text_ &&
      now - last_line_ < std::chrono::seconds(interval_s_))
    return;
  status_text_ = text;
  label_ = label;
  label_start_ = now;
  label_done0_ = 0;
  last_line_ = now;
  printed_any_ = true;
  std::string line = (tty_ ? "" : "progress: ") + header_display(label) + "  " + text;
  emit(tty_ ? fit(line, static_cast<std::size_t>(term_width()) - 1) : line);
}

bool progress_view::due() const {
  if (!enabled_) return false;
  return tty_ || !printed_any_ || clock::now() - last_line_ >= std::chrono::seconds(interval_s_);
}

void progress_view::keep() {
  if (enabled_ && tty_ && drawn_) {
    std::fprintf(stderr, "\n");
    drawn_ = false;
  }
}

void progress_view::note(const std::string &text) {
  if (tty_ && drawn_) {
    std::fprintf(stderr, "\r\x1b[2K");
    drawn_ = false;
  }
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace kqcli
