// The one formatter of strings that go into a command.
#include "base/error.h"
#include "connection/session.h"

namespace kq {

bool imap_quote(std::string_view s, std::string &out) {
  out.clear();
  for (char c : s) {
    if (c == '\r' || c == '\n' || c == '\0') {
      set_err("invalid mailbox name");
      return false;
    }
  }
  out.reserve(s.size() + 2);
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return true;
}

}  // namespace kq
