// The messages' way up: APPENDs pipelined under the session's window,
// several messages a MULTIAPPEND where the server takes that, and what a
// refusal leaves sent again on its own or without its flags.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "archive/sha256_file.h"
#include "base/mutf7.h"
#include "base/sha256.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/imap.h"
#include "connection/uid_search.h"
#include "restore/run.h"

namespace kq {

namespace {

// A flag's bytes can go into a flag list as they are (an atom, or "\" and
// an atom for a system flag).
bool flag_is_atom(std::string_view f) {
  if (f.empty()) return false;
  std::size_t i = f[0] == '\\' ? 1 : 0;
  if (i == f.size()) return false;
  for (; i < f.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(f[i]);
    if (c <= 0x20 || c >= 0x7F || std::strchr("(){%*\"\\]", c)) return false;
  }
  return true;
}

// A message's file as the tail of its APPEND, read a piece at a time as
// the socket takes it. It is hashed again on the way: should the file have
// changed since it was checked, the last piece is kept back and the
// connection given up, so the server never completes a message that is not
// the one archived.
struct file_tail {
  std::string dir, file, sha256_hex;
  long long left = 0;
  plat::contained_file f;
  sha256 hash;

  long next(char *buf, std::size_t cap) {
    if (left == 0) return 0;
    if (!f.is_open() && f.open(dir.c_str(), file) != plat::contained_file::ok) return -1;
    std::size_t want = static_cast<std::size_t>(std::min<long long>(left, static_cast<long long>(cap)));
    std::size_t got = 0;
    while (got < want) {
      long long n = f.read(buf + got, want - got);
      if (n <= 0) return -1;
      got += static_cast<std::size_t>(n);
    }
    hash.update(buf, got);
    left -= static_cast<long long>(got);
    if (left == 0) {
      unsigned char sum[32];
      char hex[65];
      hash.finish(sum);
      digest_hex(sum, hex);
      f.close();
      if (sha256_hex != hex) return -1;
    }
    return static_cast<long>(got);
  }
};

}  // namespace

std::string restore_flag_list(const std::vector<std::string> &flags, const restore_target &t) {
  std::string out = "(";
  for (const std::string &f : flags) {
    if (!flag_is_atom(f) || ascii_ieq(f, "\\Recent")) continue;
    bool system = f[0] == '\\';
    if (!system && t.permanent_listed && !t.any_keyword) {
      bool kept = false;
      for (const std::string &p : t.permanent) kept = kept || ascii_ieq(p, f);
      if (!kept) continue;
    }
    if (out.size() > 1) out += ' ';
    out += f;
  }
  out += ')';
  return out;
}

void read_appenduid(const std::string &text, std::uint64_t &uv, std::uint32_t &uid) {
  std::size_t p = restore_ifind(text, "[APPENDUID ");
  if (p == std::string::npos) return;
  const char *s = text.c_str() + p + 11;
  char *end = nullptr;
  unsigned long long v = std::strtoull(s, &end, 10);
  if (end == s || *end != ' ') return;
  const char *u = end + 1;
  unsigned long long n = std::strtoull(u, &end, 10);
  if (end == u || v == 0 || n == 0 || n > 0xFFFFFFFFULL) return;
  uv = v;
  uid = static_cast<std::uint32_t>(n);
}

std::string restore_run::message_args(const restore_pending &p) {
  std::string out, date;
  if (p.with_flags && job_.opt.flags) {
    std::string flags = restore_flag_list(p.item->flags, target_);
    if (flags.size() > 2) out += " " + flags;
  }
  if (!p.item->date.empty() && imap_quote(p.item->date, date)) out += " " + date;
  return out;
}

void restore_run::submit_multi(std::vector<restore_pending *> group) {
  std::string q;
  imap_quote(folder_wire_name(job_.opt.folder), q);
  std::string line = "APPEND " + q;
  for (std::size_t i = 0; i < group.size(); ++i) {
    // The next message goes on after the last one's bytes, as the command's
    // own line does: one command, one final CRLF.
    const restore_pending &p = *group[i];
    line += message_args(p);
    line += " {" + decimal(p.bytes.size()) + "+}\r\n";
    line += p.bytes;
  }
  session::command c;
  c.line = std::move(line);
  c.on_done = [group = std::move(group)](int status, const std::string &text) {
    // All or nothing: a refusal sends each message again on its own, where
    // the one at fault is told apart from the rest.
    std::vector<std::uint32_t> uids;
    std::uint64_t uv = 0;
    if (status == 0) {
      const char *at = kq_strcasestr(text.c_str(), "[APPENDUID ");
      if (at) {
        char *end = nullptr;
        uv = std::strtoull(at + 11, &end, 10);
        std::string_view rest(end ? end : "");
        std::size_t close = rest.find(']');
        if (!rest.empty() && rest[0] == ' ' && close != std::string_view::npos &&
            !parse_uid_set(rest.substr(1, close - 1), uids, group.size()))
          uids.clear();
      }
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
      restore_pending &p = *group[i];
      p.status = status > 0 ? -3 : status;
      p.text = text;
      if (status == 0 && uv && uids.size() == group.size()) {
        p.server_uv = uv;
        p.server_uid = uids[i];
      }
    }
  };
  s_.submit(std::move(c));
}

void restore_run::submit_append(restore_pending &p) {
  std::string q;
  imap_quote(folder_wire_name(job_.opt.folder), q);
  std::string line = "APPEND " + q + message_args(p);
  long long n = p.size;
  session::command c;
  if (p.streamed) {
    // Only where LITERAL+ lets the bytes follow the line at once.
    line += " {" + decimal(static_cast<unsigned long long>(n)) + "+}\r\n";
    auto tail = std::make_shared<file_tail>();
    tail->dir = job_.opt.dir;
    tail->file = p.item->file;
    tail->sha256_hex = p.item->sha256;
    tail->left = n;
    c.tail = [tail](char *buf, std::size_t cap) { return tail->next(buf, cap); };
  } else if (literal_plus_ || (literal_minus_ && n <= k_literal_minus_max)) {
    // Sent whole: the server reads the bytes without a "+" first, so the
    // command pipelines with the others.
    line += " {" + decimal(static_cast<unsigned long long>(n)) + "+}\r\n";
    line += p.bytes;
  } else {
    // The server's "+" must come first: the queue sends this alone.
    line += " {" + decimal(static_cast<unsigned long long>(n)) + "}";
    const std::string *bytes = &p.bytes;
    c.on_continue = [bytes, sent = false](const std::string &) mutable {
      if (sent) return std::string();
      sent = true;
      return *bytes;
    };
  }
  c.line = std::move(line);
  restore_pending *pp = &p;
  c.on_done = [pp](int status, const std::string &text) {
    pp->status = status;
    pp->text = text;
    if (status == 0) read_appenduid(text, pp->server_uv, pp->server_uid);
  };
  s_.submit(std::move(c));
}

void restore_run::submit_batch(std::vector<restore_pending> &batch) {
  if (multiappend_ && literal_plus_ && batch.size() > 1) {
    // Several messages a command, a few commands in flight: the round trips
    // of a slow link are shared out.
    std::vector<restore_pending *> group;
    std::size_t group_bytes = 0;
    for (restore_pending &p : batch) {
      if (p.streamed) {
        submit_append(p);
        continue;
      }
      group.push_back(&p);
      group_bytes += p.bytes.size();
      if (group.size() >= pace_.multi_items || group_bytes >= k_multi_bytes) {
        submit_multi(std::move(group));
        group.clear();
        group_bytes = 0;
      }
    }
    if (!group.empty()) submit_multi(std::move(group));
  } else {
    for (restore_pending &p : batch) submit_append(p);
  }
}

bool restore_run::await_batch(std::vector<restore_pending> &batch) {
  // Later batches' commands may be out too: only this one's answers are
  // waited for, one completion at a time.
  auto unanswered = [&batch] {
    for (const restore_pending &p : batch)
      if (p.status == -2) return true;
    return false;
  };
  while (unanswered()) {
    std::size_t n = s_.outstanding();
    if (n == 0 || !s_.run_until_at_most(n - 1)) return false;
  }
  // An answer the session made up for a lost connection is no answer.
  for (const restore_pending &p : batch)
    if (p.status == -1) return false;
  return !job_.cancel_requested;
}

bool restore_run::finish_batch(std::vector<restore_pending> &batch) {
  bool whole = await_batch(batch);
  bool alone = false;
  for (restore_pending &p : batch)
    if (whole && p.status == -3) {
      p.status = -2;
      submit_append(p);
      alone = true;
    }
  if (alone) whole = await_batch(batch);
  if (whole) {
    // A flag the server will not take (a keyword it refuses) must not keep
    // the message away: once more without flags. A message too large goes
    // no better without them.
    bool again = false;
    for (restore_pending &p : batch)
      if (p.status > 0 && p.with_flags && job_.opt.flags && !p.item->flags.empty() &&
          restore_ifind(p.text, "[TOOBIG]") == std::string::npos &&
          restore_ifind(p.text, "[OVERQUOTA]") == std::string::npos &&
          restore_ifind(p.text, "[LIMIT]") == std::string::npos) {
        p.with_flags = false;
        p.status = -2;
        p.text.clear();
        submit_append(p);
        again = true;
      }
    if (again) whole = await_batch(batch);
  }
  // What the server took is recorded even when the rest of the batch was
  // cut off. A message whose answer never came may or may not be there: it
  // stays unrecorded, and the next run looks for it before sending it.
  std::string lines;
  for (restore_pending &p : batch) {
    if (p.status > 0 && whole) fail(*p.item, "server refused: " + p.text);
    if (p.status != 0) continue;
    std::uint64_t uv = p.server_uv == target_.uidvalidity ? p.server_uv : 0;
    std::uint32_t uid = uv ? p.server_uid : 0;
    if (uid) claimed_.insert(uid);
    ledger_line(lines, *p.item, uv, uid);
    ++job_.restored;
    job_.bytes += p.size;
    settle();
  }
  return record(lines) && whole;
}

}  // namespace kq
