// What the target holds already: a message an earlier run put there, whose
// ledger line was lost or never written, is found by its digest and
// recorded rather than sent twice.
#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "archive/restore_ledger.h"
#include "base/header_field.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "connection/uid_search.h"
#include "restore/run.h"

namespace kq {

// The digest of a message without the header lines an mbox server keeps
// its own bookkeeping in and rewrites when a message is stored (GNU imap4d
// hands out X-UID and X-IMAPbase as part of the message): the same message
// put back comes back with other values there, and must still be known.
std::string digest_without_bookkeeping(std::string_view m) {
  std::size_t end = m.find("\r\n\r\n");
  if (end == std::string_view::npos) return restore_hex_digest(m.data(), m.size());
  std::string out;
  out.reserve(m.size());
  std::size_t pos = 0;
  bool skipping = false;
  while (pos < end + 2) {
    std::size_t eol = m.find("\r\n", pos);
    std::string_view line = m.substr(pos, eol + 2 - pos);
    bool continued = !line.empty() && (line[0] == ' ' || line[0] == '\t');
    if (!continued) {
      skipping = false;
      for (const char *name : {"X-UID:", "X-IMAPbase:", "Status:", "X-Status:", "X-Keywords:"})
        skipping = skipping || ascii_istarts(line, name);
    }
    if (!skipping) out.append(line);
    pos = eol + 2;
  }
  out.append(m.substr(end + 2));
  return restore_hex_digest(out.data(), out.size());
}

bool restore_run::check_present(std::vector<restore_pending> &batch) {
  // Candidates by Message-ID where a message has one, else by size, all in
  // one pool: a server may answer pipelined searches together before their
  // completions (Dovecot does), so an answer cannot be told to be this
  // search's. Nothing is lost by that: a candidate counts only for the
  // message whose digest it has.
  std::vector<std::uint32_t> pool;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    restore_pending &p = batch[i];
    std::string head = p.bytes.substr(0, p.bytes.find("\r\n\r\n"));
    std::string id, q;
    bool by_id = header_field(head, "Message-ID:", id);
    while (!id.empty() && (id.back() == ' ' || id.back() == '\t' || id.back() == '\r')) id.pop_back();
    for (char c : id) by_id = by_id && static_cast<unsigned char>(c) < 0x80;
    by_id = by_id && !id.empty() && imap_quote(id, q);
    session::command c;
    if (by_id) c.line = "UID SEARCH HEADER Message-ID " + q;
    else {
      long long n = static_cast<long long>(p.bytes.size());
      c.line = "UID SEARCH LARGER " + decimal(n > 0 ? n - 1 : 0) + " SMALLER " + decimal(n + 1);
    }
    c.on_data = [&pool](response &r) { parse_search(r.line, pool); };
    s_.submit(std::move(c));
  }
  if (!s_.drain() || job_.cancel_requested) return false;
  // The candidates' sizes, then the bodies of those of the right size.
  std::vector<std::uint32_t> all;
  for (std::uint32_t u : pool)
    if (!claimed_.count(u)) all.push_back(u);
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  if (all.empty()) return true;
  std::map<std::uint32_t, long long> sizes;
  {
    session::command c;
    c.line = "UID FETCH " + uid_set_text(all.data(), all.size()) + " (UID RFC822.SIZE)";
    c.on_data = [&sizes](response &r) {
      fetch_data d;
      if (parse_fetch(r, d) && d.has_uid && d.has_size) sizes[d.uid] = d.size;
    };
    s_.submit(std::move(c));
    if (!s_.drain() || job_.cancel_requested) return false;
  }
  std::map<std::uint32_t, std::string> digests, loose_digests;
  for (std::uint32_t u : all) {
    auto size = sizes.find(u);
    bool wanted = false;
    // Near in size as well: a server's bookkeeping headers make a stored
    // message a little longer than the bytes that were sent.
    for (const restore_pending &p : batch) {
      long long diff = size == sizes.end() ? -1 : size->second - static_cast<long long>(p.bytes.size());
      wanted = wanted || (diff >= 0 && diff <= k_bookkeeping_slack);
    }
    if (!wanted) continue;
    session::command c;
    c.line = "UID FETCH " + decimal(u) + " (UID BODY.PEEK[])";
    c.uid_lo = c.uid_hi = u;
    std::string *out = &digests[u];
    std::string *loose = &loose_digests[u];
    c.on_data = [out, loose](response &r) {
      fetch_data d;
      if (!parse_fetch(r, d)) return;
      const fetch_data::section *b = d.find("]");
      if (!b || b->nil || b->over_cap) return;
      *out = restore_hex_digest(b->bytes.data(), b->bytes.size());
      *loose = digest_without_bookkeeping(b->bytes);
    };
    s_.submit(std::move(c));
  }
  if (!s_.drain() || job_.cancel_requested) return false;
  std::string lines;
  std::vector<restore_pending> left;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    restore_pending &p = batch[i];
    // The very bytes first; else the same message but for the server's
    // bookkeeping headers.
    std::uint32_t match = 0;
    for (std::uint32_t u : all) {
      auto d = digests.find(u);
      if (!claimed_.count(u) && d != digests.end() && d->second == p.item->sha256) {
        match = u;
        break;
      }
    }
    std::string loose;
    for (std::uint32_t u : all) {
      if (match) break;
      auto d = loose_digests.find(u);
      if (claimed_.count(u) || d == loose_digests.end() || d->second.empty()) continue;
      if (loose.empty()) loose = digest_without_bookkeeping(p.bytes);
      if (d->second == loose) match = u;
    }
    if (!match) {
      left.push_back(std::move(p));
      continue;
    }
    claimed_.insert(match);
    ledger_line(lines, *p.item, target_.uidvalidity, match);
    ++job_.present;
    job_.bytes += static_cast<long long>(p.bytes.size());
    settle();
  }
  batch = std::move(left);
  return record(lines);
}

}  // namespace kq
