// Making a lost connection good again in the middle of a run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "connection/session.h"

namespace kq {

// Connects again with the session's configuration and opens `folder`;
// true when it is the same generation of the folder (its UIDVALIDITY is
// `uidvalidity`, or either is unknown: 0), so the UIDs still asked for
// name the same messages. False with last_error otherwise.
bool reopen_folder(session &s, const std::string &folder, std::uint64_t uidvalidity);

// Runs step (true: done); when it fails because the connection was lost,
// connects again (reopen_folder, a pause before each attempt) and runs it
// once more, at most `tries` times. False with last_error otherwise.
bool with_reconnects(session &s, const std::string &folder, std::uint64_t uidvalidity,
                     const std::function<bool()> &step, int tries = 3);

}  // namespace kq
