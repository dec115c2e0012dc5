#include "connection/fetch_data.h"

#include <cstdlib>

#include "base/mutf7.h"
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

std::string over_cap_message(std::uint32_t uid, long long size) {
  return "message uid " + std::to_string(uid) + " is larger than max_message_bytes (" + std::to_string(size) +
         " bytes)";
}

bool announces_whole_body(std::string_view l) {
  if (l.size() < 4 || l[0] != '*' || l.back() != '}') return false;
  std::size_t open = l.rfind('{');
  if (open == std::string_view::npos || open == 0 || l[open - 1] != ' ') return false;
  std::string_view before = l.substr(0, open - 1);
  std::size_t sp = before.rfind(' ');
  std::string_view item = sp == std::string_view::npos ? before : before.substr(sp + 1);
  if (!item.empty() && item.front() == '(') item.remove_prefix(1);
  // "BODY[]<0>" is a partial answer's name: not a whole message.
  return ascii_ieq(item, "BODY[]") || ascii_ieq(item, "RFC822");
}

fetch_walk walk_fetch(const response &r, std::uint32_t &uid) {
  uid = 0;
  long long seq = 0;
  std::string word;
  if (!numbered_record(r.line, seq, word) || word != "FETCH") return fetch_walk::not_fetch;
  // "* n FETCH", then the list.
  const std::string &l = r.line;
  std::size_t at = 2;
  while (at < l.size() && l[at] >= '0' && l[at] <= '9') ++at;
  at += 1 + 5;
  while (at < l.size() && l[at] == ' ') ++at;
  if (at >= l.size() || l[at] != '(') return fetch_walk::malformed;
  token_cursor cur(r, at + 1);
  std::size_t literals = 0;
  // One value, a list read to its matching parenthesis.
  auto skip = [&](token_cursor::token t) {
    int depth = 0;
    for (;;) {
      switch (t.k) {
        case token_cursor::end:
          return false;
        case token_cursor::close:
          if (depth == 0) return false;
          --depth;
          break;
        case token_cursor::open:
          ++depth;
          break;
        case token_cursor::quoted:
          if (t.unterminated) return false;
          break;
        case token_cursor::literal:
          ++literals;
          break;
        case token_cursor::atom:
        case token_cursor::nil:
          break;
      }
      if (depth == 0) return true;
      t = cur.next();
    }
  };
  for (;;) {
    token_cursor::token name = cur.next();
    if (name.k == token_cursor::close) break;
    if (name.k != token_cursor::atom) return fetch_walk::malformed;
    token_cursor::token v = cur.next();
    if (ascii_ieq(name.text, "UID")) {
      long long n = 0;
      if (v.k != token_cursor::atom || !read_number(v.text, n) || n <= 0 || n > 0xFFFFFFFFLL ||
          (uid != 0 && uid != static_cast<std::uint32_t>(n)))
        return fetch_walk::malformed;
      uid = static_cast<std::uint32_t>(n);
    } else if (!skip(std::move(v))) {
      return fetch_walk::malformed;
    }
  }
  return literals == r.literals.size() ? fetch_walk::ok : fetch_walk::malformed;
}

bool fetch_uid(const response &r, std::uint32_t &uid) {
  return walk_fetch(r, uid) == fetch_walk::ok && uid != 0;
}

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
    } else if (ascii_ieq(n, "FLAGS")) {
      imap_value v;
      bool truncated = false;
      if (!read_value(cur, v, truncated) || !v.is_list()) return false;
      out.has_flags = true;
      for (imap_value &f : v.items)
        if (f.is_text() && !f.value.empty()) out.flags.push_back(std::move(f.value));
    } else if (ascii_ieq(n, "X-GM-LABELS")) {
      // A list of astrings: system labels as atoms ("\\Inbox"), others
      // quoted or atoms, non-ASCII ones in modified UTF-7 like mailbox names.
      imap_value v;
      bool truncated = false;
      if (!read_value(cur, v, truncated) || !v.is_list()) return false;
      out.has_labels = true;
      for (imap_value &f : v.items) {
        if (!f.is_text() || f.value.empty()) continue;
        std::string text;
        out.labels.push_back(mutf7_decode(f.value, text) ? std::move(text) : std::move(f.value));
      }
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
      if (t.k == token_cursor::literal && t.sunk) {
        s.sink = t.sunk->sink.get();
        s.sink_size = t.sunk->size;
      } else if (t.k == token_cursor::literal && t.dropped >= 0) {
        s.over_cap = true;
        s.over_cap_size = t.dropped;
      } else if (t.k == token_cursor::literal || t.k == token_cursor::atom) s.bytes = t.text;
      else if (t.k == token_cursor::quoted) s.bytes = t.text;  // rare; escapes kept
      else if (t.k == token_cursor::nil) s.nil = true;
      else return false;
      out.sections.push_back(std::move(s));
    } else {
      // An item we did not ask for (MODSEQ, X-GM-MSGID...): skip its value.
      if (!cur.skip_value()) return false;
    }
  }
  return true;
}

}  // namespace kq
