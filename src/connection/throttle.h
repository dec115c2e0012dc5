// What a server's answer says about its load: the response codes big
// providers send when they want a client to slow down, and the pause some
// of them suggest in the text.
#pragma once

#include <string_view>

namespace kq {

struct throttle_hint {
  bool throttled = false;    // [THROTTLED]
  bool unavailable = false;  // [UNAVAILABLE]
  bool limit = false;        // [LIMIT]
  int backoff_ms = -1;       // "Suggested Backoff Time: N ms", at most 30 s; -1 none
};

// Reads a completion's or untagged status response's text (any case).
throttle_hint read_throttle(std::string_view text);

}  // namespace kq
