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

long peak_rss_kb() {
  std::FILE *f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  std::fclose(f);
  return kb;
}

}  // namespace kqtest::platform
