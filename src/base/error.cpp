#include "base/error.h"

#include <cstdarg>
#include <cstdio>

namespace kq {

namespace {
// Each thread has its own: a worker's failure must not rewrite the text a
// host thread is reading, and a host thread's failure is its own to read.
// The worker hands its reason over through the job's and the batch's status.
// The text lives in a per-thread owner, the one state this subsystem keeps.
struct error_state {
  char last[512];
};
thread_local error_state t_error;
}  // namespace

void set_err(const char *fmt, ...) {
  char tmp[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(tmp, sizeof tmp, fmt, ap);
  va_end(ap);
  // Format aside first so a message built from the old text stays intact.
  std::snprintf(t_error.last, sizeof t_error.last, "%s", tmp);
}

const char *last_error() { return t_error.last; }

}  // namespace kq
