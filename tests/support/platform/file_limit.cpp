#include "support/platform/file_limit.h"

#include <csignal>

#include <sys/resource.h>

namespace kqtest {

bool file_size_limit::supported() { return true; }

file_size_limit::file_size_limit(long long bytes) {
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit rl;
  if (getrlimit(RLIMIT_FSIZE, &rl) != 0) return;
  old_soft_ = rl.rlim_cur;
  rl.rlim_cur = static_cast<rlim_t>(bytes);
  set_ = setrlimit(RLIMIT_FSIZE, &rl) == 0;
}

file_size_limit::~file_size_limit() {
  if (!set_) return;
  rlimit rl;
  getrlimit(RLIMIT_FSIZE, &rl);
  rl.rlim_cur = static_cast<rlim_t>(old_soft_);
  setrlimit(RLIMIT_FSIZE, &rl);
}

}  // namespace kqtest
