// Learning which UIDs a selected folder holds, and the UID set texts
// commands carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "connection/session.h"

namespace kq {

// What one ESEARCH record says (RFC 4731); a field the record lacks is -1.
struct esearch_reply {
  std::string tag;  // the command it answers ("" when it names none)
  bool uid = false;
  long long min = -1, max = -1, count = -1;
  bool has_all = false;
  std::vector<std::uint32_t> all;  // ascending, without repeats
};

// Reads "* ESEARCH ..."; false for any other record, a malformed one, or
// an ALL set naming more than all_limit numbers.
bool parse_esearch(std::string_view line, esearch_reply &out, std::size_t all_limit = 1u << 20);
// Appends the numbers of "* SEARCH n n ..." to out; false for any other record.
bool parse_search(std::string_view line, std::vector<std::uint32_t> &out);
// Reads a sequence set ("1:3,7,9:8") into ascending numbers without
// repeats; false when it is not one or would name more than `limit`.
bool parse_uid_set(std::string_view set, std::vector<std::uint32_t> &out, std::size_t limit);
// "1:3,7,9:10" for n ascending UIDs: a span only where they are
// consecutive, so the set names exactly these.
std::string uid_set_text(const std::uint32_t *uids, std::size_t n);

// Every UID of the selected folder (which holds `exists` messages),
// ascending, in one command where the server allows it: ESEARCH's compact
// set when offered, else UID SEARCH ALL (in parts of a bounded number of
// messages, so no reply outgrows a line). 0, or -1 with last_error.
int selected_uids(session &s, long long exists, std::vector<std::uint32_t> &out);
// The same for the UIDs from lo to hi alone ("UID lo:hi" in the search). A
// refused search is asked again after a pause; a whole-folder answer naming
// fewer messages than the folder holds is completed by FETCH (UID).
int selected_uids(session &s, long long exists, std::uint32_t lo, std::uint32_t hi,
                  std::vector<std::uint32_t> &out);

}  // namespace kq
