// The calling thread's error text and the debug trace.
#pragma once

namespace kq {

// Formats into the calling thread's last-error text (cut at 511 characters).
void set_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The calling thread's last-error buffer itself.
const char *last_error();

}  // namespace kq
