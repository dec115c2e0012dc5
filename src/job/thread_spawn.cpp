#include "job/thread_spawn.h"

#include "platform/platform.h"

namespace kq {

// The platform layer hands the new thread its own copy of {fn, arg}, which
// the thread frees once read, so no caller-side table has to stay in place.
int kq_thread_spawn(void (*fn)(void *), void *arg) {
  return plat::thread_spawn_detached(fn, arg) ? 1 : 0;
}

}  // namespace kq
