#include "support/platform/memory_use.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kqtest::platform {

void reset_peak_rss() {
  if (std::FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

namespace {

// A "Key:   123 kB" line of /proc/self/status, in KiB.
long status_kb(const char *key) {
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  std::size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0) kb = std::strtol(line + n, nullptr, 10);
  std::fclose(f);
  return kb;
}

}  // namespace

long peak_rss_kb() { return status_kb("VmHWM:"); }

long current_rss_kb() { return status_kb("VmRSS:"); }

}  // namespace kqtest::platform
