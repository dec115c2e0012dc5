// The library's one IMAP session, for the subsystems that talk to the
// server. The host thread drives it, or the export worker while a job runs
// (the entry points refuse server calls from the host meanwhile).
#pragma once

#include "connection/session.h"

namespace kq {

session &main_session();

// Logged in and not lost; otherwise sets "not connected".
inline bool conn_usable() { return main_session().usable(); }

// Number of command lines sent since the library was loaded (tests and
// benchmarks measure round trips with it).
std::uint64_t cmd_sent_total();

}  // namespace kq
