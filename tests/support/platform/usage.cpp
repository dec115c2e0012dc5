#include "support/platform/usage.h"

#include <sys/resource.h>

namespace kqtest::platform {

long peak_rss_kib() {
  rusage u{};
  if (getrusage(RUSAGE_SELF, &u) != 0) return -1;
  return u.ru_maxrss;  // KiB on Linux
}

}  // namespace kqtest::platform
