// Resident memory of this process, for benchmarks.
#pragma once

namespace kqtest::platform {

// Starts a new peak-resident-set measurement (Linux: clear_refs).
void reset_peak_rss();
// Peak resident set size since the last reset (or process start), in KiB;
// -1 when unknown.
long peak_rss_kb();
// Resident set size right now, in KiB; -1 when unknown. A benchmark takes it
// at the reset, so what a measured step added shows apart from what the
// process held already.
long current_rss_kb();

}  // namespace kqtest::platform
