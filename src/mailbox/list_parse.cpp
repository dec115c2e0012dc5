// Reading mailbox names from LIST replies (RFC 3501 mailbox-list).
#include <cstring>

#include "mailbox/folders.h"

namespace kq {

namespace {

bool ieq(const char *p, const char *word) {
  for (; *word; ++p, ++word) {
    char c = *p;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != *word) return false;
  }
  return true;
}

// A quoted string starting at p ('"'); p ends after the closing quote.
bool read_quoted(const char *&p, std::string &out) {
  out.clear();
  ++p;
  for (; *p && *p != '"'; ++p) {
    if (*p == '\\' && p[1]) ++p;
    out += *p;
  }
  if (*p != '"') return false;
  ++p;
  return true;
}

}  // namespace

bool list_parse_line(const char *line, const char *lit, long long lit_len, std::string &name,
                     std::string *delimiter) {
  name.clear();
  if (std::strncmp(line, "* LIST ", 7) != 0) return false;
  const char *p = line + 7;
  // Attributes: a parenthesised list of flags, none of which holds ')'.
  if (*p != '(') return false;
  p = std::strchr(p, ')');
  if (!p || p[1] != ' ') return false;
  p += 2;
  // Delimiter: one quoted character, or NIL for a flat namespace.
  std::string delim;
  if (*p == '"') {
    if (!read_quoted(p, delim)) return false;
  } else if (ieq(p, "NIL")) {
    p += 3;
  } else {
    return false;
  }
  if (*p != ' ') return false;
  ++p;
  if (delimiter) *delimiter = delim;
  if (*p == '"') return read_quoted(p, name) && !name.empty();
  if (*p == '\0' || *p == ' ') {
    // The reader moved a literal name out of the line.
    if (!lit || lit_len <= 0) return false;
    name.assign(lit, static_cast<std::size_t>(lit_len));
    return true;
  }
  const char *e = p;
  while (*e && *e != ' ') ++e;
  name.assign(p, static_cast<std::size_t>(e - p));
  return true;
}

bool list_parse(const response &r, std::string &name, std::string *delimiter) {
  // The reader of old took literals out of the line: do the same so one
  // parser serves both.
  std::string line = r.line;
  const std::string *lit = nullptr;
  if (!r.literals.empty()) {
    std::size_t open = line.rfind('{');
    if (open != std::string::npos) line.resize(open);
    lit = &r.literals.front();
  }
  return list_parse_line(line.c_str(), lit ? lit->data() : nullptr,
                         lit ? static_cast<long long>(lit->size()) : 0, name, delimiter);
}

}  // namespace kq
