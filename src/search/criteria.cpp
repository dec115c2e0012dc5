// Search criteria: read from JSON, applied to one candidate row.
#include <cstring>

#include <yyjson.h>

#include "base/text.h"
#include "base/strcase.h"
#include "search/search.h"

namespace kq {

namespace {

void read_day(yyjson_val *root, const char *key, bool &set, long long &value) {
  const char *s = json_str(root, key);
  if (!s) return;
  long long t = kq_parse_yyyymmdd(s);
  if (t < 0) return;
  set = true;
  value = t;
}

void read_number(yyjson_val *root, const char *key, bool &set, long long &value) {
  if (!json_key(root, key)) return;
  set = true;
  value = json_num(root, key, 0);
}

void read_text(yyjson_val *root, const char *key, char *dst, std::size_t cap) {
  if (const char *s = json_str(root, key)) copy_cut(dst, cap, s);
}

bool text_passes(const char *want, const char *have) {
  return !want[0] || (have[0] && kq_strcasestr(have, want));
}

}  // namespace

void criteria_parse(const char *json, search_criteria &c) {
  c = search_criteria{};
  if (!json || !json[0]) return;
  json_doc doc;
  if (!doc.parse(json, std::strlen(json))) return;
  yyjson_val *root = doc.root();
  if (!yyjson_is_obj(root)) return;
  read_day(root, "since", c.since_set, c.since);
  read_day(root, "before", c.before_set, c.before);
  read_text(root, "from", c.from, sizeof c.from);
  read_text(root, "to", c.to, sizeof c.to);
  read_text(root, "subject", c.subject, sizeof c.subject);
  read_number(root, "uid_min", c.uid_min_set, c.uid_min);
  read_number(root, "uid_max", c.uid_max_set, c.uid_max);
  read_number(root, "min_bytes", c.min_bytes_set, c.min_bytes);
  c.has_attachments = json_int(root, "has_attachments", -1);
}

bool criteria_match(const search_criteria &c, const search_hit &h) {
  // An unreadable date (-1) passes both date filters.
  if (h.ts != -1) {
    if (c.since_set && h.ts < c.since) return false;
    if (c.before_set && h.ts >= c.before) return false;
  }
  if (!text_passes(c.from, h.from.c_str()) || !text_passes(c.to, h.to.c_str()) ||
      !text_passes(c.subject, h.subject.c_str()))
    return false;
  if (c.min_bytes_set && h.bytes < c.min_bytes) return false;
  if (c.has_attachments >= 0 && h.has_attachments != c.has_attachments) return false;
  return true;
}

int attachment_state(const char *block) {
  if (kq_strcasestr(block, "multipart/mixed")) return 1;
  if (kq_strcasestr(block, "attachment")) return 1;
  if (kq_strcasestr(block, "multipart/alternative")) return 0;
  return -1;
}

}  // namespace kq
