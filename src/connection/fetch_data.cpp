#include "connection/fetch_data.h"

#include <cstdlib>

#include "base/strcase.h"

namespace kq {

const fetch_data::section *fetch_data::find(std::string_view prefix) const {
  for (const section &s : sections) {
    std::string_view n = s.name;
    if (n.size() >= 5 && ascii_istarts(n, "BODY[") && ascii_istarts(n.substr(5), prefix)) return &s;
  }
  return nullptr;
}

namespace {
bool read_number(std::string_view t, long long &v) {
  if (t.empty() || t.size() > 18) return false;
  v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}
}  // namespace

bool parse_fetch(const response &r, fetch_data &out) {
  out = fetch_data{};
  std::string word;
  if (!numbered_record(r.line, out.seq, word) || word != "FETCH") return false;
  std::size_t open = r.line.find('(');
  if (open == std::string::npos) return false;
  token_cursor cur(r, open + 1);
  for (;;) {
    token_cursor::token name = cur.next();
    if (name.k == token_cursor::close || name.k == token_cursor::end) break;
    if (name.k != token_cursor::atom) return false;
    std::string_view n = name.text;
    if (ascii_ieq(n, "UID")) {
      long long v;
      token_cursor::token t = cur.next();
      if (t.k != token_cursor::atom || !read_number(t.text, v) || v <= 0 || v > 0xFFFFFFFFLL)
        return false;
      out.has_uid = true;
      out.uid = static_cast<std::uint32_t>(v);
    } else if (ascii_ieq(n, "RFC822.SIZE")) {
      token_cursor::token t = cur.next();
      if (t.k != token_cursor::atom || !read_number(t.text, out.size)) return false;
      out.has_size = true;
    } else if (ascii_ieq(n, "INTERNALDATE")) {
      token_cursor::token t = cur.next();
      if (t.k == token_cursor::quoted || t.k == token_cursor::atom || t.k == token_cursor::literal)
        out.internaldate.assign(t.value());
      else if (t.k != token_cursor::nil)
        return false;
    } else if (ascii_ieq(n, "BODYSTRUCTURE")) {
      bool truncated = false;
      if (!read_value(cur, out.structure, truncated)) return false;
      out.structure_ok = out.structure.is_list() && !truncated;
    } else if (ascii_istarts(n, "BODY[") || ascii_istarts(n, "BINARY[") || ascii_istarts(n, "RFC822")) {
      token_cursor::token t = cur.next();
      fetch_data::section s;
      // "RFC822" and "RFC822.HEADER" are the old names of BODY[] sections.
      if (ascii_ieq(n, "RFC822")) s.name = "BODY[]";
      else if (ascii_ieq(n, "RFC822.HEADER")) s.name = "BODY[HEADER]";
      else if (ascii_ieq(n, "RFC822.TEXT")) s.name = "BODY[TEXT]";
      else s.name.assign(n);
      if (t.k == token_cursor::literal || t.k == token_cursor::atom) s.bytes = t.text;
      else if (t.k == token_cursor::quoted) s.bytes = t.text;  // rare; escapes kept
      else if (t.k == token_cursor::nil) s.nil = true;
      else return false;
      out.sections.push_back(std::move(s));
    } else {
      // An item we did not ask for (MODSEQ, X-GM-...): skip its value.
      if (!cur.skip_value()) return false;
    }
  }
  return true;
}

}  // namespace kq
