#include "base/error.h"

#include <cstdarg>
#include <cstdio>

#include "platform/platform.h"

namespace kq {

namespace {
// Each thread has its own: a worker's failure must not rewrite the text a
// host thread is reading, and a host thread's failure is its own to read.
// The worker hands its reason over through the job's and the batch's status.
thread_local char s_last_error[512];
}

void set_err(const char *fmt, ...) {
  char tmp[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  // Format aside first so a message built from the old text stays intact.
  std::snprintf(s_last_error, sizeof s_last_error, "%s", tmp);
}

void dbg(const char *fmt, ...) {
  if (!plat::env_get("KQ_DEBUG")) return;
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
}

const char *last_error() { return s_last_error; }

}  // namespace kq
