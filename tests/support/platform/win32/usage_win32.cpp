// Peak memory of the test process on Windows: the peak working set.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <psapi.h>

#include "support/platform/memory_use.h"
#include "support/platform/usage.h"

namespace kqtest::platform {

namespace {
long peak_kib() {
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return -1;
  return static_cast<long>(pmc.PeakWorkingSetSize / 1024);
}
}  // namespace

long peak_rss_kib() { return peak_kib(); }
// The peak working set cannot be reset: the figure covers the whole run.
void reset_peak_rss() {}
long peak_rss_kb() { return peak_kib(); }

}  // namespace kqtest::platform
