// Search criteria: read from JSON, applied to one candidate row.
#include <cstring>

#include <yyjson.h>

#include "base/casefold.h"
#include "base/error.h"
#include "base/strcase.h"
#include "base/text.h"
#include "search/search.h"

namespace kq {

namespace {

bool leap(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Strictly "YYYY-MM-DD" naming a real day, as seconds since 1970 UTC (days
// before 1970 give negative values). A host that sends anything else made
// a mistake it should hear about, rather than get every message back.
bool read_strict_day(const char *s, long long &out) {
  if (std::strlen(s) != 10 || s[4] != '-' || s[7] != '-') return false;
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (s[i] < '0' || s[i] > '9') return false;
  long long y = (s[0] - '0') * 1000 + (s[1] - '0') * 100 + (s[2] - '0') * 10 + (s[3] - '0');
  int m = (s[5] - '0') * 10 + (s[6] - '0');
  int d = (s[8] - '0') * 10 + (s[9] - '0');
  static constexpr int k_month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12 || d < 1) return false;
  if (d > k_month_days[m - 1] + (m == 2 && leap(y) ? 1 : 0)) return false;
  long long days = 0;
  for (long long k = 1970; k < y; ++k) days += leap(k) ? 366 : 365;
  for (long long k = y; k < 1970; ++k) days -= leap(k) ? 366 : 365;
  for (int k = 1; k < m; ++k) days += k_month_days[k - 1] + (k == 2 && leap(y) ? 1 : 0);
  days += d - 1;
  out = days * 86400;
  return true;
}

// Each reader: true when the key is absent, null or well-formed; false for
// a value of the wrong type or form.
bool read_day(yyjson_val *root, const char *key, bool &set, long long &value) {
  yyjson_val *v = json_key(root, key);
  if (!v || yyjson_is_null(v)) return true;
  if (!yyjson_is_str(v) || !read_strict_day(yyjson_get_str(v), value)) return false;
  set = true;
  return true;
}

bool read_number(yyjson_val *root, const char *key, bool &set, long long &value) {
  yyjson_val *v = json_key(root, key);
  if (!v || yyjson_is_null(v)) return true;
  if (!yyjson_is_num(v)) return false;
  set = true;
  value = json_num(root, key, 0);
  return true;
}

bool read_text(yyjson_val *root, const char *key, char *dst, std::size_t cap) {
  yyjson_val *v = json_key(root, key);
  if (!v || yyjson_is_null(v)) return true;
  if (!yyjson_is_str(v)) return false;
  copy_cut(dst, cap, yyjson_get_str(v));
  return true;
}

// 1, 0, true, false, or a negative number for "either".
bool read_flag(yyjson_val *root, const char *key, int &value) {
  yyjson_val *v = json_key(root, key);
  if (!v || yyjson_is_null(v)) return true;
  if (yyjson_is_bool(v)) {
    value = yyjson_get_bool(v) ? 1 : 0;
    return true;
  }
  if (!yyjson_is_num(v)) return false;
  long long n = json_num(root, key, -1);
  if (n > 1) return false;
  value = n < 0 ? -1 : static_cast<int>(n);
  return true;
}

bool text_passes(const char *want, const char *have) {
  return !want[0] || (have[0] && contains_nocase(have, want));
}

bool bad(const char *key) {
  set_err("bad criteria: %s", key);
  return false;
}

}  // namespace

bool criteria_parse(const char *json, search_criteria &c) {
  c = search_criteria{};
  if (!json || !json[0]) return true;
  json_doc doc;
  if (!doc.parse(json, std::strlen(json))) return true;
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) return true;
  if (!read_day(root, "since", c.since_set, c.since)) return bad("since");
  if (!read_day(root, "before", c.before_set, c.before)) return bad("before");
  if (!read_text(root, "from", c.from, sizeof c.from)) return bad("from");
  if (!read_text(root, "to", c.to, sizeof c.to)) return bad("to");
  if (!read_text(root, "subject", c.subject, sizeof c.subject)) return bad("subject");
  if (!read_number(root, "uid_min", c.uid_min_set, c.uid_min)) return bad("uid_min");
  if (!read_number(root, "uid_max", c.uid_max_set, c.uid_max)) return bad("uid_max");
  if (!read_number(root, "min_bytes", c.min_bytes_set, c.min_bytes)) return bad("min_bytes");
  if (!read_flag(root, "has_attachments", c.has_attachments)) return bad("has_attachments");
  return true;
}

bool criteria_match(const search_criteria &c, const search_hit &h) {
  // An unreadable date (-1) passes both date filters.
  if (h.ts != -1) {
    if (c.since_set && h.ts < c.since) return false;
    if (c.before_set && h.ts >= c.before) return false;
  }
  if (!text_passes(c.from, h.from) || !text_passes(c.to, h.to) ||
      !text_passes(c.subject, h.subject))
    return false;
  if (c.min_bytes_set && h.bytes < c.min_bytes) return false;
  if (c.has_attachments >= 0 && h.has_attachments != c.has_attachments) return false;
  return true;
}

int attachment_state(const char *block) {
  // Only the Content-Type field: a subject that says "attachment" says
  // nothing about the message's parts.
  char ctype[512];
  if (!hdr_line_value(block, static_cast<long long>(std::strlen(block)), "Content-Type", ctype, sizeof ctype))
    return -1;
  if (kq_strcasestr(ctype, "multipart/mixed")) return 1;
  if (kq_strcasestr(ctype, "multipart/alternative")) return 0;
  return -1;
}

}  // namespace kq
