// One IMAP value read whole: an atom or string (literals included) as its
// text, NIL, or a parenthesised list of values. BODYSTRUCTURE is read this way.
#pragma once

#include <string>
#include <vector>

#include "connection/response.h"

namespace kq {

struct imap_value {
  enum kind { nil, text, list } k = nil;
  std::string value;               // atom or string content, escapes removed
  std::vector<imap_value> items;   // list members
  bool is_text() const { return k == text; }
  bool is_list() const { return k == list; }
};

// Lists nested deeper than this are read past but not kept (they come back
// as an empty list with `truncated` set): a hostile server cannot make the
// reader recurse without end.
inline constexpr int k_value_depth_max = 32;

// Reads the next value at cur into out; false at the end of the line or at
// a closing parenthesis (nothing consumed but that token).
bool read_value(token_cursor &cur, imap_value &out, bool &truncated, int depth = 0);

}  // namespace kq
