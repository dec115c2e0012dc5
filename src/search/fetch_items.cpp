#include "search/fetch_items.h"

#include <cctype>
#include <cstring>

namespace kq {

namespace {

void skip_ws(const char *&p) {
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
}

// Digits after optional white space; false when none or above max.
bool read_digits(const char *&p, unsigned long long max, unsigned long long &v) {
  skip_ws(p);
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  unsigned long long n = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    n = n * 10 + static_cast<unsigned>(*p++ - '0');
    if (n > max) return false;
  }
  v = n;
  return true;
}

bool read_word(const char *&p, const char *word) {
  skip_ws(p);
  std::size_t n = std::strlen(word);
  if (std::strncmp(p, word, n) != 0) return false;
  p += n;
  return true;
}

}  // namespace

fetch_items read_fetch_items(const char *record) {
  fetch_items f;
  const char *p = record;
  if (p[0] == '*' && p[1] == ' ') p += 2;
  p = std::strstr(p, "(UID ");
  if (!p) return f;
  p += 5;
  unsigned long long uid;
  if (!read_digits(p, 0xFFFFFFFFull, uid)) return f;
  f.uid = static_cast<std::uint32_t>(uid);
  f.count = 1;
  if (!read_word(p, "RFC822.SIZE")) return f;
  skip_ws(p);
  bool neg = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  unsigned long long size;
  if (!read_digits(p, 0x7FFFFFFFFFFFFFFFull, size)) return f;
  f.size = neg ? -static_cast<long long>(size) : static_cast<long long>(size);
  f.count = 2;
  if (!read_word(p, "INTERNALDATE")) return f;
  skip_ws(p);
  if (*p != '"' || p[1] == '"' || p[1] == '\0') return f;
  ++p;
  std::size_t n = 0;
  while (n < sizeof f.date - 1 && p[n] && p[n] != '"') ++n;
  std::memcpy(f.date, p, n);
  f.date[n] = '\0';
  f.count = 3;
  return f;
}

bool read_fetch_uid(const char *record, unsigned long long &uid) {
  const char *p = std::strstr(record, " FETCH (");
  if (!p || record[0] != '*') return false;
  p += 7;
  for (const char *q = p; (q = std::strstr(q, "UID ")); q += 4) {
    if (q[-1] != '(' && q[-1] != ' ') continue;
    const char *d = q + 4;
    if (read_digits(d, 0xFFFFFFFFull, uid)) return true;
  }
  return false;
}

}  // namespace kq
