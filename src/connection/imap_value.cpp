#include "connection/imap_value.h"

namespace kq {

bool read_value(token_cursor &cur, imap_value &out, bool &truncated, int depth) {
  out = imap_value{};
  token_cursor::token t = cur.next();
  switch (t.k) {
    case token_cursor::end:
    case token_cursor::close:
      return false;
    case token_cursor::nil:
      return true;
    case token_cursor::atom:
    case token_cursor::quoted:
    case token_cursor::literal:
      out.k = imap_value::text;
      out.value.assign(t.value());
      return true;
    case token_cursor::open:
      break;
  }
  out.k = imap_value::list;
  if (depth >= k_value_depth_max) {
    // Walk to the matching parenthesis without keeping anything.
    truncated = true;
    for (int open = 1; open > 0;) {
      token_cursor::token u = cur.next();
      if (u.k == token_cursor::end) return true;
      if (u.k == token_cursor::open) ++open;
      if (u.k == token_cursor::close) --open;
    }
    return true;
  }
  for (;;) {
    imap_value item;
    if (!read_value(cur, item, truncated, depth + 1)) break;
    out.items.push_back(std::move(item));
  }
  return true;
}

}  // namespace kq
