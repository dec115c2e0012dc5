// What every entry point shares: no exception crosses the C boundary, every
// failure sets the error text, host threads take turns, and calls that talk
// to the server are refused while a background job owns the session.
#pragma once

#include <new>
#include <string>

#include "base/error.h"
#include "kerquill.h"
#include "platform/platform.h"

namespace kq::api {

// Serialises the host's calls: two host threads never interleave on the
// socket or on the shared results.
plat::exclusive_lock &host_mutex();

class KQ_SCOPED_CAPABILITY host_lock {
 public:
  host_lock() KQ_ACQUIRE(host_mutex()) { host_mutex().lock(); }
  ~host_lock() KQ_RELEASE() { host_mutex().unlock(); }
  host_lock(const host_lock &) = delete;
  host_lock &operator=(const host_lock &) = delete;
};

// True while an export job, a restore or a batch owns the session.
bool background_active();
// The start error when a job holds the session: "export already running"
// or "restore already running"; null when none does.
const char *busy_job_text();
// Which job the shared steering calls (kq_export_progress, _pause, ...)
// act on: the one started last.
void set_restore_current(bool restore);
bool restore_current_job();
// Cancels the export job and the batch and waits until they let go.
void stop_background_work();

// Runs body with every exception turned into the failure value with a text,
// without the host lock: for the polls and steering calls a host makes from
// one thread while another is inside a long call (a verification, a search).
template <class R, class F>
R poll_call(R failure, F &&body) {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
  } catch (...) {
    set_err("internal error");
  }
  return failure;
}

// The same with the host lock held: for calls that read or replace the
// library's results.
template <class R, class F>
R call(R failure, F &&body) {
  host_lock hold;
  return poll_call(failure, static_cast<F &&>(body));
}

// The same for calls that talk to the server or replace the search result:
// refused at once while a background job runs.
template <class R, class F>
R server_call(const char *name, R failure, F &&body) {
  return call(failure, [&]() -> R {
    if (background_active()) {
      set_err("%s: an export is running; wait for it or cancel it first", name);
      return failure;
    }
    return body();
  });
}

// A text an entry point hands out, copied into storage of the calling
// thread that belongs to that entry point (Entry) alone: it stays whole and
// valid for this thread until its next call of the same entry point, however
// the library's own result is replaced meanwhile by other threads.
template <auto Entry>
const char *thread_text(const char *text) {
  thread_local std::string out;
  out.assign(text ? text : "");
  return out.c_str();
}

}  // namespace kq::api
