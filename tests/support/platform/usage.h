// Resource usage of the test or benchmark process itself.
#pragma once

namespace kqtest::platform {

// Peak resident set size of this process so far, in KiB (getrusage).
long peak_rss_kib();

}  // namespace kqtest::platform
