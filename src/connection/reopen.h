// Making a lost connection good again in the middle of a run.
#pragma once

#include <cstdint>
#include <string>

#include "connection/session.h"

namespace kq {

// Connects again with the session's configuration and opens `folder`;
// true when it is the same generation of the folder (its UIDVALIDITY is
// `uidvalidity`, or either is unknown: 0), so the UIDs still asked for
// name the same messages. False with last_error otherwise.
bool reopen_folder(session &s, const std::string &folder, std::uint64_t uidvalidity);

}  // namespace kq
