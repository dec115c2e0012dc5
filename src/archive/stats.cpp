// Summarises an archive from its manifest: count, bytes, date range.
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "archive/verify.h"
#include "base/error.h"
#include "base/text.h"
#include "platform/platform.h"

namespace kq {

namespace {

// Sizes come from a file anyone may edit: saturate instead of overflowing.
long long add_sat(long long a, long long b) {
  constexpr long long hi = std::numeric_limits<long long>::max();
  constexpr long long lo = std::numeric_limits<long long>::min();
  if (b > 0 && a > hi - b) return hi;
  if (b < 0 && a < lo - b) return lo;
  return a + b;
}

void day_text(long long t, char out[24]) {
  out[0] = '\0';
  if (t < 0) return;
  std::tm tm{};
  if (!plat::utc_to_tm(t, &tm)) return;
  if (std::strftime(out, 24, "%Y-%m-%d", &tm) == 0) out[0] = '\0';
}

}  // namespace

const char *archive_stats(const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return "";
  }
  manifest_reader in;
  if (!in.open_or_explain(dir)) return "";
  // Counted exactly as the verification checks: each message once, a
  // message being a UID of one generation. resume.json says which
  // generation lines without a UIDVALIDITY belong to.
  resume_data resume;
  resume_load(dir, resume);
  seen_entries seen(resume_base_generation(resume));
  long long messages = 0, bytes = 0, oldest = -1, newest = -1, unreadable = 0, duplicates = 0;
  json_doc doc;
  manifest_entry e;
  std::string_view line;
  while (in.next(line)) {
    manifest_line_kind kind =
        in.oversized() ? manifest_line_kind::unreadable : manifest_parse_line(line, doc, e);
    // A flag line updates a message's flags; the message is its entry's.
    if (kind == manifest_line_kind::blank || kind == manifest_line_kind::flag_update) continue;
    if (kind == manifest_line_kind::unreadable) {
      ++unreadable;
      continue;
    }
    if (!seen.first_sight(e)) {
      ++duplicates;
      continue;
    }
    ++messages;
    if (e.has_size) bytes = add_sat(bytes, e.size);
    if (e.has_ts && e.ts >= 0) {
      if (oldest == -1 || e.ts < oldest) oldest = e.ts;
      if (e.ts > newest) newest = e.ts;
    }
  }
  if (in.failed()) {
    set_err("cannot read manifest.jsonl in %s", dir);
    return "";
  }
  char old_text[24], new_text[24];
  day_text(oldest, old_text);
  day_text(newest, new_text);
  std::snprintf(archive_outputs().stats_json, k_stats_cap,
                "{\"messages\":%lld,\"bytes\":%lld,\"oldest\":\"%s\",\"newest\":\"%s\","
                "\"unreadable_lines\":%lld,\"duplicates\":%lld}",
                messages, bytes, old_text, new_text, unreadable, duplicates);
  return archive_outputs().stats_json;
}

}  // namespace kq
