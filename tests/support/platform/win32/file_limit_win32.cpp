// Windows has no per-process cap on file sizes; the tests that need one skip.
#include "support/platform/file_limit.h"

namespace kqtest {

bool file_size_limit::supported() { return false; }
file_size_limit::file_size_limit(long long) : old_soft_(0) {}
file_size_limit::~file_size_limit() = default;

}  // namespace kqtest
