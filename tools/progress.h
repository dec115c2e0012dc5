// Live progress of an export: a redrawn bar on a terminal, plain lines at an
// interval otherwise.
#pragma once

#include <chrono>
#include <string>

namespace kqcli {

struct job_snapshot {
  int state = 0;
  long long done = 0, total = 0, bytes = 0, eta_s = 0, speed_bps = 0;
  std::string current;
  std::string note;  // shown instead of current when set
  // The library's "state" word ("idle", "running", "paused", "cancelled",
  // "done", "error"); empty from a library that does not report it, where
  // state 3 may mean paused or cancelled.
  std::string word;
  // Commands retried and connections made again by the job; 0 from a
  // library that does not report them.
  long long retries = 0, reconnects = 0;
  // Why the job ended in error, as its stats give it ("" otherwise, and
  // from a library that does not report it).
  std::string error;
  bool ended() const { return word == "cancelled" || word == "done" || word == "error"; }
};
// Reads the export job's counters and current message.
job_snapshot read_job();

class progress_view {
 public:
  // enabled false prints nothing; tty selects the bar; interval_s spaces the
  // plain lines.
  progress_view(bool enabled, bool tty, int interval_s);
  // Shows the job under a label; plain lines only when the interval passed
  // or force is set.
  void show(const std::string &label, const job_snapshot &j, bool force = false);
  // A text shown instead of counters (for example while a folder is searched).
  void status(const std::string &label, const std::string &text);
  // True when a periodic line may be printed now: always on a terminal, else
  // once per interval (a line that closes a folder is printed regardless).
  bool due() const;
  // Leaves the last bar on screen and moves to a fresh line.
  void keep();
  // Prints a message on its own line without mangling the bar.
  void note(const std::string &text);

 private:
  using clock = std::chrono::steady_clock;
  void emit(const std::string &line);
  bool enabled_, tty_;
  int interval_s_;
  bool drawn_ = false;
  clock::time_point last_line_{};
  bool printed_any_ = false;
  std::string label_, status_text_;
  clock::time_point label_start_{};
  long long label_done0_ = 0;
};

}  // namespace kqcli
