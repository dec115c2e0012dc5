// The dates the library reads and writes, in one place: IMAP INTERNALDATE,
// the criteria's "YYYY-MM-DD", and the English month abbreviations both
// IMAP and the mbox "From " line use.
#pragma once

#include <string_view>

namespace kq {

// "Jan" .. "Dec".
extern const char *const k_month_abbr[12];

// 1..12 for a three-letter month abbreviation in any letter case, else 0.
int month_from_abbr(std::string_view name);

// "YYYY-MM-DD" (read as %d-%d-%d; out-of-range months and days carry over)
// as seconds since 1970 UTC at 00:00:00, or -1 when unreadable or negative.
long long kq_parse_yyyymmdd(const char *text);

// An IMAP INTERNALDATE text ("dd-Mon-yyyy hh:mm:ss +hhmm", day possibly
// blank-padded) as UTC seconds: the zone is subtracted; without a readable
// zone the time counts as UTC. -1 when unreadable or negative.
long long internaldate_ts(const char *text);

}  // namespace kq
