// Symbolic links and FIFOs for the tests of what the library must not
// follow or open. Wine cannot make symbolic links (and shows a Linux link as
// its target) and no Windows system has FIFOs: there the rest of the test is
// skipped with the reason; anywhere else a failure to make one fails it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/platform/os.h"

namespace kqtest {
inline bool system_has_no_fifos() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}
}  // namespace kqtest

#define KQ_SYMLINK_OR_SKIP(to, at, dir)                                                             \
  do {                                                                                                  \
    std::string kq_why_;                                                                                \
    if (!kqtest::platform::make_symlink(std::filesystem::path(to).string(),                        \
                                        std::filesystem::path(at).string(), (dir), &kq_why_)) {       \
      if (kqtest::platform::under_wine()) GTEST_SKIP() << kq_why_;                                      \
      FAIL() << kq_why_;                                                                                \
    }                                                                                                   \
  } while (0)

#define KQ_FIFO_OR_SKIP(where)                                                                           \
  do {                                                                                                  \
    std::string kq_why_;                                                                                \
    if (!kqtest::platform::make_fifo(std::filesystem::path(where).string(), &kq_why_)) {                 \
      if (kqtest::system_has_no_fifos()) GTEST_SKIP() << kq_why_;                                    \
      FAIL() << kq_why_;                                                                                \
    }                                                                                                   \
  } while (0)
