// Summarises an archive from its manifest alone: count, bytes, date range.
#include <cstdio>
#include <ctime>
#include <limits>
#include <string_view>

#include <yyjson.h>

#include "archive/manifest_reader.h"
#include "base/error.h"
#include "base/text.h"
#include "kerquill.h"
#include "platform/platform.h"

namespace kq {

namespace {

char s_stats[2048];

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

const char *archive_stats(const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return "";
  }
  manifest_reader in;
  if (!in.open(dir)) {
    set_err("no manifest.jsonl in %s", dir);
    return "";
  }
  long long messages = 0, bytes = 0, oldest = -1, newest = -1;
  std::string_view line;
  while (in.next(line)) {
    if (line.empty() || line[0] != '{') continue;
    json_doc doc;
    if (!doc.parse(line)) continue;
    ++messages;
    yyjson_val *size = json_key(doc.root(), "size");
    if (size && yyjson_is_num(size)) bytes = add_sat(bytes, json_num(doc.root(), "size", 0));
    if (json_key(doc.root(), "ts")) {
      long long ts = json_num(doc.root(), "ts", 0);
      if (ts >= 0) {
        if (oldest == -1 || ts < oldest) oldest = ts;
        if (ts > newest) newest = ts;
      }
    }
  }
  if (in.failed()) {
    set_err("cannot read manifest.jsonl in %s", dir);
    return "";
  }
  char old_text[24], new_text[24];
  day_text(oldest, old_text);
  day_text(newest, new_text);
  std::snprintf(s_stats, sizeof s_stats,
                "{\"messages\":%lld,\"bytes\":%lld,\"oldest\":\"%s\",\"newest\":\"%s\"}", messages,
                bytes, old_text, new_text);
  return s_stats;
}

}  // namespace
}  // namespace kq

extern "C" KQ_API const char *kq_archive_stats_json(const char *dir) {
  try {
    return kq::archive_stats(dir);
  } catch (...) {
    kq::set_err("out of memory");
    return "";
  }
}
