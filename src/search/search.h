// Client-side search: criteria, the date readers and the header line reader
// shared with the rest of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "base/dates.h"
#include "connection/fetch_data.h"
#include "connection/imap_value.h"
#include "connection/session.h"
#include "search/search_table.h"

namespace kq {

// Value of the first header field called name (case-insensitive) in the
// header block: leading blanks and tabs skipped, folded continuation lines
// joined with their line ends removed, trailing CRs and blanks dropped, cut
// to out_size-1. 1 when found (the value may be empty), 0 otherwise.
int hdr_line_value(const char *block, long long block_len, const char *name, char *out,
                   std::size_t out_size);

// Searches a folder into the result (kq_search without the entry point's
// checks): 0, or -1 with last_error set.
int search_folder(const char *folder, const char *criteria_json);
// The FETCH items a result row is made of.
extern const char *const k_row_items;
// A row from one FETCH response; false when it lacks what a row needs.
bool row_from(const fetch_data &f, row_draft &h);

// How a row fetch is steered: all optional.
struct row_fetch_options {
  std::function<bool(const row_draft &)> keep;  // rows that pass (none: all)
  std::function<bool()> stop;                   // asked often; yes ends the fetch early
  std::function<bool()> reconnect;              // a lost connection made good again
  std::function<void()> tick;                   // after each command's answer
  std::function<void()> answered;               // once per UID whose row arrived, kept or not
};
// What a row fetch met, added to across calls.
struct row_fetch_report {
  unsigned retries = 0, reconnects = 0;
  std::vector<std::uint32_t> gone;    // confirmed expunged
  std::vector<std::uint32_t> failed;  // neither answered nor gone
};

// Adds to `out` the rows of exactly the given UIDs (ascending) of the
// folder the session has selected, several commands in flight. Every UID
// ends with a row, confirmed gone (no row), or failed. The result is
// settled (UID order). 0 complete (or stopped), 1 some UIDs failed (the
// text in last_error, the UIDs in the report), -1 the connection was lost
// for good (last_error).
int search_uid_rows(session &s, const std::vector<std::uint32_t> &uids, search_result &out,
                    const row_fetch_options &opts, row_fetch_report *report);

// Share of the running search's UIDs answered, 0.0 to 1.0: 0 from its
// start until rows arrive, then moving with every row, 1.0 only once it
// has ended well (the last search's figure when none runs).
double search_progress();
// Asks the running search to stop: it then fails with "search cancelled"
// and leaves an empty result, within about a second even with commands in
// flight (the session closes the connection when their answers do not
// come in at once). 0, or -1 when no search runs. Any thread.
int search_cancel();

// Fills a row's "from", "to" and "subject" from its header block: unfolded,
// encoded words decoded to UTF-8, cut to the field without splitting a
// character.
void row_header_texts(row_draft &h, const char *block, long long len);

struct search_criteria {
  bool since_set = false;
  long long since = 0;
  bool before_set = false;
  long long before = 0;
  char from[256] = "";
  char to[256] = "";
  char subject[512] = "";
  bool uid_min_set = false;
  long long uid_min = 0;
  bool uid_max_set = false;
  long long uid_max = 0;
  bool min_bytes_set = false;
  long long min_bytes = 0;
  int has_attachments = -1;
};

// Reads the criteria JSON; text that is absent, not JSON or not an object
// leaves every criterion at its default, as do keys whose value is null. A
// key of the wrong type, a day that is not a real "YYYY-MM-DD" or a
// has_attachments above 1 gives false with "bad criteria: <key>".
bool criteria_parse(const char *json, search_criteria &c);

// True when the row passes every criterion.
bool criteria_match(const search_criteria &c, const search_hit &h);

// Attachment state from a header block's Content-Type alone, for servers
// that send no BODYSTRUCTURE: 1, 0, or -1 when not determined.
int attachment_state(const char *block);

// Attachment state from a BODYSTRUCTURE: 1 when any part is an attachment,
// 0 when none is, -1 when the structure is not one.
int structure_attachment_state(const imap_value &body);

}  // namespace kq
