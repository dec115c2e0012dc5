#include "connection/uid_search.h"

#include <algorithm>
#include <cstdio>

#include "base/error.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "platform/platform.h"

namespace kq {

namespace {

// A plain SEARCH reply spends up to 11 characters per UID; parts of this
// many messages stay far below the longest line the reader accepts.
constexpr long long k_search_part = 250000;

bool read_number(std::string_view s, std::size_t &i, unsigned long long &v) {
  std::size_t start = i;
  v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + static_cast<unsigned>(s[i] - '0');
    if (v > 0xFFFFFFFFULL) return false;
    ++i;
  }
  return i > start;
}

std::string_view next_word(std::string_view s, std::size_t &i) {
  while (i < s.size() && s[i] == ' ') ++i;
  std::size_t start = i;
  while (i < s.size() && s[i] != ' ') ++i;
  return s.substr(start, i - start);
}

}  // namespace

bool parse_uid_set(std::string_view set, std::vector<std::uint32_t> &out, std::size_t limit) {
  out.clear();
  std::size_t i = 0;
  bool sorted = true;
  while (i < set.size()) {
    unsigned long long a, b;
    if (!read_number(set, i, a) || a == 0) return false;
    b = a;
    if (i < set.size() && set[i] == ':') {
      ++i;
      if (!read_number(set, i, b) || b == 0) return false;
    }
    if (a > b) std::swap(a, b);
    if (b - a + 1 > limit || out.size() + (b - a + 1) > limit) return false;
    if (!out.empty() && a <= out.back()) sorted = false;
    for (unsigned long long u = a; u <= b; ++u) out.push_back(static_cast<std::uint32_t>(u));
    if (i < set.size()) {
      if (set[i] != ',') return false;
      ++i;
    }
  }
  if (!sorted) {
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }
  return true;
}

bool parse_esearch(std::string_view line, esearch_reply &out, std::size_t all_limit) {
  out = esearch_reply{};
  if (!ascii_istarts(line, "* ESEARCH")) return false;
  std::size_t i = 9;
  if (i < line.size() && line[i] != ' ') return false;
  while (i < line.size() && line[i] == ' ') ++i;
  if (i < line.size() && line[i] == '(') {
    // (TAG "x"): the correlator of the command answered.
    std::size_t close = line.find(')', i);
    if (close == std::string_view::npos) return false;
    std::string_view inner = line.substr(i + 1, close - i - 1);
    std::size_t q1 = inner.find('"'), q2 = q1 == std::string_view::npos ? q1 : inner.find('"', q1 + 1);
    if (ascii_istarts(inner, "TAG ") && q2 != std::string_view::npos)
      out.tag = std::string(inner.substr(q1 + 1, q2 - q1 - 1));
    i = close + 1;
  }
  for (;;) {
    std::string_view key = next_word(line, i);
    if (key.empty()) return true;
    if (ascii_ieq(key, "UID")) {
      out.uid = true;
      continue;
    }
    std::string_view value = next_word(line, i);
    if (value.empty()) return false;
    std::size_t at = 0;
    unsigned long long v = 0;
    bool number = read_number(value, at, v) && at == value.size();
    if (ascii_ieq(key, "MIN") || ascii_ieq(key, "MAX") || ascii_ieq(key, "COUNT")) {
      if (!number) return false;
      long long &dst = ascii_ieq(key, "MIN") ? out.min : ascii_ieq(key, "MAX") ? out.max : out.count;
      dst = static_cast<long long>(v);
    } else if (ascii_ieq(key, "ALL")) {
      if (!parse_uid_set(value, out.all, all_limit)) return false;
      out.has_all = true;
    }
    // Return data this reader does not know is passed over (one value).
  }
}

bool parse_search(std::string_view line, std::vector<std::uint32_t> &out) {
  if (!ascii_istarts(line, "* SEARCH")) return false;
  std::size_t i = 8;
  if (i < line.size() && line[i] != ' ') return false;
  for (;;) {
    std::string_view w = next_word(line, i);
    if (w.empty()) return true;
    std::size_t at = 0;
    unsigned long long v = 0;
    // A modification sequence list ("(MODSEQ n)") or anything else ends it.
    if (!read_number(w, at, v) || at != w.size() || v == 0) return true;
    out.push_back(static_cast<std::uint32_t>(v));
  }
}

std::string uid_set_text(const std::uint32_t *uids, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n;) {
    std::size_t j = i;
    while (j + 1 < n && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += decimal(uids[i]);
    if (j > i) out += ':' + decimal(uids[j]);
    i = j + 1;
  }
  return out;
}

namespace {

constexpr int k_search_tries = 3;

// One command run alone (a plain SEARCH answer names no command), its
// untagged data handed to on_data. 0 OK, 1 refused (text in why), -1 lost.
int run_alone(session &s, const std::string &line, session::data_fn on_data, std::string &why) {
  int status = -1;
  session::command c;
  c.line = line;
  c.on_data = std::move(on_data);
  c.on_done = [&status, &why](int st, const std::string &text) {
    status = st;
    if (st != 0) why = text;
  };
  s.submit(std::move(c));
  if (!s.drain()) return -1;
  return status == 0 ? 0 : 1;
}

// One search command; what it finds is added to out.
int run_search(session &s, const std::string &line, std::vector<std::uint32_t> &out, std::size_t limit,
               std::string &why) {
  return run_alone(s, line, [&out, limit](response &r) {
    esearch_reply e;
    if (parse_esearch(r.line, e, limit)) {
      if (e.uid && e.has_all) out.insert(out.end(), e.all.begin(), e.all.end());
    } else {
      parse_search(r.line, out);
    }
  }, why);
}

// The same, asked again after a pause when the server refuses it (a busy
// provider refuses now what it answers a moment later).
int search_with_retry(session &s, const std::string &line, std::vector<std::uint32_t> &out,
                      std::size_t limit, std::string &why) {
  for (int attempt = 0;; ++attempt) {
    std::size_t had = out.size();
    int rc = run_search(s, line, out, limit, why);
    if (rc <= 0 || attempt + 1 >= k_search_tries) return rc;
    out.resize(had);
    plat::sleep_ms(500 << attempt);
  }
}

// Every UID by FETCH (UID): the slow way, for a server whose search answer
// names fewer messages than the folder holds.
int fetch_all_uids(session &s, std::vector<std::uint32_t> &out, std::string &why) {
  return run_alone(s, "UID FETCH 1:* (UID)", [&out](response &r) {
    fetch_data f;
    if (parse_fetch(r, f) && f.has_uid) out.push_back(f.uid);
  }, why);
}

}  // namespace

int selected_uids(session &s, long long exists, std::vector<std::uint32_t> &out) {
  return selected_uids(s, exists, 1, 0xFFFFFFFFu, out);
}

int selected_uids(session &s, long long exists, std::uint32_t lo, std::uint32_t hi,
                  std::vector<std::uint32_t> &out) {
  out.clear();
  if (exists <= 0 || lo > hi) return 0;
  if (lo == 0) lo = 1;
  bool whole = lo == 1 && hi == 0xFFFFFFFFu;
  // "lo:*" names the last message even when its UID is below lo: the
  // answer is filtered to the range below.
  std::string range = whole ? std::string("ALL")
                            : "UID " + decimal(lo) + ":" + (hi == 0xFFFFFFFFu ? std::string("*") : decimal(hi));
  // A set far beyond what the folder can hold is no answer to trust.
  std::size_t limit = static_cast<std::size_t>(exists) * 2 + 10000;
  std::string why;
  int rc = 1;
  if (s.has_capability("ESEARCH")) {
    rc = search_with_retry(s, "UID SEARCH RETURN (ALL) " + range, out, limit, why);
    if (rc < 0) return -1;
  }
  if (rc != 0) {
    // Each part's untagged reply reaches the command in flight before it
    // completes: the parts go one at a time.
    out.clear();
    rc = 0;
    for (long long a = 1; a <= exists && rc == 0; a += k_search_part) {
      long long b = std::min(exists, a + k_search_part - 1);
      std::string line = exists <= k_search_part
                             ? "UID SEARCH " + range
                             : "UID SEARCH " + decimal(static_cast<unsigned long long>(a)) + ":" +
                                   decimal(static_cast<unsigned long long>(b)) + (whole ? "" : " " + range);
      rc = search_with_retry(s, line, out, limit, why);
    }
    if (rc < 0) return -1;
    if (rc > 0) {
      set_err("UID SEARCH failed: %s", why.c_str());
      return -1;
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  // A whole-folder answer must name every message the folder holds (the
  // count follows the EXPUNGEs read meanwhile); fewer is a partial answer,
  // completed by asking for every UID the slow way.
  if (whole && static_cast<long long>(out.size()) < s.selected_state().exists) {
    std::vector<std::uint32_t> more;
    int f = fetch_all_uids(s, more, why);
    if (f < 0) return -1;
    if (f == 0) {
      out.insert(out.end(), more.begin(), more.end());
      std::sort(out.begin(), out.end());
      out.erase(std::unique(out.begin(), out.end()), out.end());
    }
  }
  std::erase_if(out, [lo, hi](std::uint32_t u) { return u < lo || u > hi; });
  return 0;
}

}  // namespace kq
