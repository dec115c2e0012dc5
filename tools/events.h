// --log-format json: one JSON object per line on stdout for each event of a
// run, for programs and log collectors that would otherwise scrape tables.
#pragma once

#include <string>

#include "json.h"

namespace kqcli {

// Set once the command line is read; false prints nothing.
extern bool g_json_log;
// The account the events belong to ("" when the run names none).
extern std::string g_log_account;
// The part of a run the events belong to ("export", "restore"), for a
// command made of several; "" leaves the field out.
extern std::string g_log_phase;

// Writes {"time":..., "event":<name>, "account":..., <the fields>} as one line
// and flushes, so a reader sees each event when it happens.
void log_event(const char *name, json_object &fields);
void log_event(const char *name);

}  // namespace kqcli
