// What a server says about its own load. Busy servers answer a command, or
// say unasked, that the client should slow down or come back later: a
// response code ("NO [THROTTLED] ...", "* NO [UNAVAILABLE] ...",
// "NO [LIMIT] ..."; some put it after the text: "OK Success [THROTTLED]"),
// and some add a wait in words ("Suggested Backoff Time: 1500 ms"). The caller decides what to do with
// it; this only reads it.
#pragma once

#include <string_view>

namespace kq {

struct throttle_hint {
  bool throttled = false;    // [THROTTLED]: too many requests for now
  bool unavailable = false;  // [UNAVAILABLE]: the server cannot serve it now
  bool limit = false;        // [LIMIT]: an administrative limit was reached
  int backoff_ms = -1;       // the suggested wait, -1 when none was given
  bool any() const { return throttled || unavailable || limit || backoff_ms >= 0; }
};

// A suggested wait is never taken longer than this: a server's number must
// not stall a run for hours.
inline constexpr int k_backoff_max_ms = 30000;

// Reads a completion's or an untagged OK/NO/BAD/BYE response's text, with
// or without its status word ("NO [THROTTLED] x" or "[THROTTLED] x", as a
// completion handler gets it). The three codes count anywhere in the text,
// in any case, as a whole bracketed word. The wait is "Suggested Backoff
// Time: N" anywhere in the text, N followed by "ms", "milliseconds", "s" or
// "seconds" (no unit: milliseconds), bounded to k_backoff_max_ms. Being
// hints, neither needs more: a false one costs a pause at most.
throttle_hint read_throttle(std::string_view text);

}  // namespace kq
