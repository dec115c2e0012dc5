#include "export/layout.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "base/dates.h"
#include "base/strcase.h"
#include "platform/platform.h"

namespace kq {

int mkdirs(const char *path) {
  char buf[4096];
  std::snprintf(buf, sizeof buf, "%s", path ? path : "");
  if (!buf[0]) return -1;
  // The first character is never a separator, so "/abs" does not try "".
  for (char *p = buf + 1; *p; ++p) {
    if (*p == '/' || *p == '\\') {
      *p = '\0';
      plat::make_dir(buf);
      *p = '/';
    }
  }
  return plat::make_dir(buf) ? 0 : -1;
}

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Reads a decimal number the way "%d" does (blanks, sign, digits). More
// than nine digits count as unreadable rather than overflow.
bool read_int(const char *&p, long *out) {
  while (is_blank(*p)) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  int digits = 0;
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 9) return false;
    v = v * 10 + (*p++ - '0');
  }
  if (digits == 0) return false;
  *out = neg ? -v : v;
  return true;
}

}  // namespace

void date_year_month(const char *date, int *year, int *month) {
  *year = 1970;
  *month = 1;
  if (!date || !*date) return;
  // Day, '-', up to three non-blank characters, '-', year.
  const char *p = date;
  long day, y;
  if (!read_int(p, &day) || *p++ != '-') return;
  while (is_blank(*p)) ++p;
  char name[4] = {};
  int n = 0;
  while (n < 3 && *p && !is_blank(*p)) name[n++] = *p++;
  if (n == 0 || *p++ != '-') return;
  if (!read_int(p, &y) || y < 1900) return;
  *year = static_cast<int>(y);
  *month = month_from_abbr(std::string_view(name, static_cast<std::size_t>(n)));
}

bool naming_is_dated(const char *naming) {
  return naming && kq_strcasestr(naming, "YYYY") != nullptr;
}

std::string relative_name(bool dated, const char *date, std::uint32_t uid,
                          std::uint64_t uidvalidity) {
  char name[96];
  int n = 0;
  if (dated) {
    int y, m;
    date_year_month(date, &y, &m);
    n = std::snprintf(name, sizeof name, "%04d-%02d/", y, m);
  }
  if (uidvalidity)
    std::snprintf(name + n, sizeof name - static_cast<std::size_t>(n), "uid-%u.v%llu.eml", uid,
                  static_cast<unsigned long long>(uidvalidity));
  else
    std::snprintf(name + n, sizeof name - static_cast<std::size_t>(n), "uid-%u.eml", uid);
  return name;
}

}  // namespace kq
