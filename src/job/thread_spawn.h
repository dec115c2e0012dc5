// Detached threads for the export and batch workers.
#pragma once

namespace kq {

// Starts a thread running fn(arg) that nobody waits for; non-zero when it
// started, 0 when not.
int kq_thread_spawn(void (*fn)(void *), void *arg);

}  // namespace kq
