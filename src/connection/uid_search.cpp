#include "connection/uid_search.h"

#include <algorithm>
#include <cstdio>

#include "base/error.h"
#include "base/strcase.h"
#include "base/text.h"

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

int selected_uids(session &s, long long exists, std::vector<std::uint32_t> &out) {
  out.clear();
  if (exists <= 0) return 0;
  bool failed = false;
  std::string why;
  auto done = [&failed, &why](int st, const std::string &text) {
    if (st != 0) failed = true, why = text;
  };
  if (s.has_capability("ESEARCH")) {
    session::command c;
    c.line = "UID SEARCH RETURN (ALL) ALL";
    bool got = false;
    c.on_data = [&](response &r) {
      esearch_reply e;
      // A set far beyond what the folder can hold is no answer to trust.
      std::size_t limit = static_cast<std::size_t>(exists) * 2 + 10000;
      if (!parse_esearch(r.line, e, limit) || !e.uid) return;
      got = true;
      if (e.has_all) out = std::move(e.all);
    };
    c.on_done = done;
    s.submit(std::move(c));
    if (!s.drain()) return -1;
    // A folder emptied meanwhile answers with no ALL at all; no ESEARCH
    // record at all is asked again the plain way.
    if (!failed && got) return 0;
    out.clear();
    failed = false;
  }
  // Each part's untagged reply reaches the command in flight before it
  // completes: the parts go one at a time.
  for (long long lo = 1; lo <= exists && !failed; lo += k_search_part) {
    long long hi = std::min(exists, lo + k_search_part - 1);
    session::command c;
    c.line = exists <= k_search_part ? std::string("UID SEARCH ALL")
                                      : "UID SEARCH " + decimal(static_cast<unsigned long long>(lo)) + ":" +
                                            decimal(static_cast<unsigned long long>(hi));
    c.on_data = [&out](response &r) { parse_search(r.line, out); };
    c.on_done = done;
    s.submit(std::move(c));
    if (!s.drain()) return -1;
  }
  if (failed) {
    set_err("UID SEARCH failed: %s", why.c_str());
    return -1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return 0;
}

}  // namespace kq
