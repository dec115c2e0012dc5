// kq_probe_folder: size and attachment share estimated from a small sample.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "kerquill.h"
#include "mailbox/folders.h"
#include "base/strcase.h"
#include "search/fetch_items.h"

namespace kq {

namespace {

constexpr int k_sample_max = 30;
char s_probe_out[4096];

struct sample {
  int sampled = 0;
  long long sum = 0;
  int hits = 0;
};

bool suggests_attachment(const char *block) {
  return kq_strcasestr(block, "attachment") || kq_strcasestr(block, "name=") ||
         kq_strcasestr(block, "multipart/mixed");
}

// Fetches message number seq; counts it when the server returned it.
void sample_one(reader &r, long long seq, sample &s) {
  if (cmd_exec(&r, "FETCH %lld (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (CONTENT-TYPE)])", seq) != 0)
    return;
  bool returned = false;
  for (int i = 0; i < r.count; ++i) {
    // Only this message's reply, not an unsolicited update of another one.
    long long n = 0;
    char word[8] = "";
    if (std::sscanf(r.records[i], "* %lld %7s", &n, word) != 2 || n != seq ||
        std::strcmp(word, "FETCH") != 0)
      continue;
    fetch_items f = read_fetch_items(r.records[i]);
    if (f.count < 1 || f.uid == 0) continue;
    returned = true;
    if (f.count >= 2 && f.size > 0) s.sum += f.size;
  }
  if (returned) {
    if (r.last_lit && r.last_lit_len > 0 && suggests_attachment(r.last_lit)) ++s.hits;
    ++s.sampled;
  }
  r.release_records();
}

// Sequence numbers 1..count, evenly spaced, at most 30 returned messages.
sample take_sample(reader &r, long long count) {
  sample s;
  if (count <= 0) return s;
  long long lo = 1, hi = count, step = 1;
  if (hi - lo > k_sample_max) step = (hi - lo) / k_sample_max;
  for (long long seq = lo; seq <= hi && s.sampled < k_sample_max; seq += step) sample_one(r, seq, s);
  return s;
}

// printf's %.1f follows the host's locale; JSON needs a full stop.
std::string one_decimal(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.1f", v);
  for (char *p = b; *p; ++p)
    if (*p == ',') *p = '.';
  return b;
}

const char *probe(const char *folder) {
  s_probe_out[0] = '\0';
  if (!folder || !folder[0]) {
    set_err("no folder");
    return s_probe_out;
  }
  if (!conn_usable()) return s_probe_out;
  reader r;
  folder_stat st;
  if (folder_stats(&r, folder, &st) != 0) return s_probe_out;
  r.release_records();
  sample s = take_sample(r, st.count);
  long long estimated = 0;
  double pct = 0.0;
  if (s.sampled > 0) {
    estimated = static_cast<long long>(static_cast<double>(st.count) * static_cast<double>(s.sum) /
                                       s.sampled);
    pct = s.hits * 100.0 / s.sampled;
  }
  std::string out = "{\"folder\":";
  json_append_str(out, folder);
  char num[512];
  std::snprintf(num, sizeof num,
                ",\"total_messages\":%lld,\"total_bytes\":%lld,\"estimated_bytes\":%lld,"
                "\"oldest\":\"%s\",\"newest\":\"%s\",\"sampled\":%d,\"attachment_pct\":%s,"
                "\"uid_min\":%lld,\"uid_max\":%lld}",
                st.count, s.sum, estimated, utc_day(st.oldest).c_str(), utc_day(st.newest).c_str(),
                s.sampled, one_decimal(pct).c_str(), st.uid_min, st.uid_max);
  out += num;
  copy_cut(s_probe_out, sizeof s_probe_out, out);
  return s_probe_out;
}

}  // namespace

}  // namespace kq

extern "C" KQ_API const char *kq_probe_folder(const char *folder) {
  try {
    return kq::probe(folder);
  } catch (...) {
    kq::set_err("out of memory");
    kq::s_probe_out[0] = '\0';
    return kq::s_probe_out;
  }
}
