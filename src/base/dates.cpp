#include "base/dates.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <ctime>

#include "base/strcase.h"
#include "platform/platform.h"

namespace kq {

namespace {

// Reads a decimal int the way scanf's %d does (leading white space, optional
// sign). False when there are no digits or the value does not fit an int.
bool read_int(const char *&p, int &v) {
  const char *s = p;
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  bool neg = false;
  if (*s == '+' || *s == '-') neg = *s++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
  long long n = 0;
  while (std::isdigit(static_cast<unsigned char>(*s))) {
    n = n * 10 + (*s++ - '0');
    if (n > INT_MAX) return false;
  }
  v = static_cast<int>(neg ? -n : n);
  p = s;
  return true;
}

bool expect(const char *&p, char c) {
  if (*p != c) return false;
  ++p;
  return true;
}

long long utc_seconds(int year, int mon0, int mday, int hour, int min, int sec) {
  if (year < INT_MIN + 1900) return -1;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon0;
  tm.tm_mday = mday;
  tm.tm_hour = hour;
  tm.tm_min = min;
  tm.tm_sec = sec;
  long long t = plat::utc_from_tm(&tm);
  return t < 0 ? -1 : t;
}


// "+hhmm" / "-hhmm" after optional blanks, as seconds east of UTC.
bool read_zone(const char *p, long long &offset) {
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '+' && *p != '-') return false;
  bool neg = *p++ == '-';
  for (int i = 0; i < 4; ++i)
    if (!std::isdigit(static_cast<unsigned char>(p[i]))) return false;
  int hh = (p[0] - '0') * 10 + (p[1] - '0');
  int mm = (p[2] - '0') * 10 + (p[3] - '0');
  if (mm > 59) return false;
  offset = (hh * 3600LL + mm * 60LL) * (neg ? -1 : 1);
  return true;
}

}  // namespace

const char *const k_month_abbr[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int month_from_abbr(std::string_view name) {
  if (name.size() != 3) return 0;
  for (int i = 0; i < 12; ++i)
    if (ascii_ieq(name, k_month_abbr[i])) return i + 1;
  return 0;
}

long long kq_parse_yyyymmdd(const char *text) {
  if (!text) return -1;
  const char *p = text;
  int y, m, d;
  if (!read_int(p, y) || !expect(p, '-') || !read_int(p, m) || !expect(p, '-') || !read_int(p, d))
    return -1;
  return utc_seconds(y, m - 1, d, 0, 0, 0);
}

long long internaldate_ts(const char *text) {
  if (!text) return -1;
  const char *p = text;
  int day, year, hour, min, sec;
  if (!read_int(p, day) || !expect(p, '-')) return -1;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  char mon[4] = "";
  int n = 0;
  while (n < 3 && *p && !std::isspace(static_cast<unsigned char>(*p))) mon[n++] = *p++;
  if (n == 0 || !expect(p, '-') || !read_int(p, year) || !read_int(p, hour) || !expect(p, ':') ||
      !read_int(p, min) || !expect(p, ':') || !read_int(p, sec))
    return -1;
  int m = month_from_abbr(std::string_view(mon, static_cast<std::size_t>(n))) - 1;
  if (m < 0) return -1;
  long long t = utc_seconds(year, m, day, hour, min, sec);
  if (t < 0) return -1;
  long long zone = 0;
  if (read_zone(p, zone)) t -= zone;
  return t < 0 ? -1 : t;
}

}  // namespace kq
