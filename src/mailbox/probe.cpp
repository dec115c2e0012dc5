// kq_probe_folder: size and attachment share estimated from a small sample.
#include <algorithm>
#include <cstdio>
#include <vector>
#include <cstring>
#include <string>

#include "base/error.h"
#include "connection/imap.h"
#include "base/text.h"
#include "mailbox/folders.h"
#include "base/strcase.h"
#include "connection/fetch_data.h"

namespace kq {

namespace {

constexpr int k_sample_max = 30;
constexpr std::size_t k_probe_out_cap = 4096;

struct sample {
  bool failed = false;
  int sampled = 0;
  long long sum = 0;
  int hits = 0;
};

bool suggests_attachment(const char *block) {
  return kq_strcasestr(block, "attachment") || kq_strcasestr(block, "name=") ||
         kq_strcasestr(block, "multipart/mixed");
}

// Fetches evenly spaced messages 1..count, all in flight at once; counts
// each message the server returned, at most 30.
sample take_sample(session &sess, long long count) {
  sample s;
  if (count <= 0) return s;
  long long lo = 1, hi = count, step = 1;
  if (hi - lo > k_sample_max) step = (hi - lo) / k_sample_max;
  std::size_t keep = sess.window();
  sess.set_window(k_sample_max + 1);
  // Replies of pipelined commands may reach any of them: one handler takes
  // every wanted message once, whichever command it came with.
  std::vector<long long> wanted;
  for (long long seq = lo; seq <= hi; seq += step) wanted.push_back(seq);
  std::vector<bool> seen(wanted.size(), false);
  auto on_data = [&](response &r) {
    fetch_data f;
    if (!parse_fetch(r, f) || !f.has_uid || s.sampled >= k_sample_max) return;
    auto it = std::lower_bound(wanted.begin(), wanted.end(), f.seq);
    if (it == wanted.end() || *it != f.seq || seen[static_cast<std::size_t>(it - wanted.begin())])
      return;
    seen[static_cast<std::size_t>(it - wanted.begin())] = true;
    if (f.has_size && f.size > 0) s.sum += f.size;
    const fetch_data::section *h = f.find("HEADER");
    if (h && suggests_attachment(std::string(h->bytes).c_str())) ++s.hits;
    ++s.sampled;
  };
  char line[128];
  for (long long seq : wanted) {
    std::snprintf(line, sizeof line,
                  "FETCH %lld (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (CONTENT-TYPE)])", seq);
    session::command c;
    c.line = line;
    c.on_data = on_data;
    sess.submit(std::move(c));
  }
  bool ok = sess.drain();
  sess.set_window(keep);
  s.failed = !ok;
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

}  // namespace

std::string probe_folder(const char *folder) {
  if (!folder || !folder[0]) {
    set_err("no folder");
    return {};
  }
  session &sess = main_session();
  if (!sess.usable()) return {};
  folder_stat st;
  if (folder_stats(sess, folder, &st) != 0) return {};
  sample s = take_sample(sess, st.count);
  // A probe cut short by a lost connection is no estimate.
  if (s.failed) return {};
  long long estimated = 0;
  double pct = 0.0;
  if (s.sampled > 0) {
    estimated = static_cast<long long>(static_cast<double>(st.count) * static_cast<double>(s.sum) /
                                       s.sampled);
    pct = s.hits * 100.0 / s.sampled;
  }
  std::string out = "{\"folder\":";
  json_append_str_utf8(out, folder);
  char num[512];
  std::snprintf(num, sizeof num,
                ",\"total_messages\":%lld,\"total_bytes\":%lld,\"estimated_bytes\":%lld,"
                "\"oldest\":\"%s\",\"newest\":\"%s\",\"sampled\":%d,\"attachment_pct\":%s,"
                "\"uid_min\":%lld,\"uid_max\":%lld}",
                st.count, s.sum, estimated, utc_day(st.oldest).c_str(), utc_day(st.newest).c_str(),
                s.sampled, one_decimal(pct).c_str(), st.uid_min, st.uid_max);
  out += num;
  // Cut where the entry point always cut it.
  char cut[k_probe_out_cap];
  copy_cut(cut, sizeof cut, out);
  return cut;
}

}  // namespace kq
