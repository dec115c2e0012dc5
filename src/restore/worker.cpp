// The restore's work on the server: the target opened (created when asked),
// what the ledger and the server already hold taken off, the rest appended
// in pipelined batches, each recorded in the ledger once the server took it.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "archive/restore_ledger.h"
#include "archive/sha256_file.h"
#include "archive/durable.h"
#include "base/error.h"
#include "base/header_field.h"
#include "base/mutf7.h"
#include "base/sha256.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "connection/imap.h"
#include "connection/uid_search.h"
#include "restore/restore_job.h"

namespace kq {

namespace {

using guard = plat::lock_guard;

std::atomic<void (*)(std::uint64_t)> g_settled_hook{nullptr};

// Commands in flight at once, and how much one batch reads into memory
// before its messages go out: enough to keep a slow link busy, little
// enough that a huge archive costs no more than a batch.
constexpr std::size_t k_window = 32;
constexpr std::size_t k_batch_items = 64;
constexpr long long k_batch_bytes = 16LL << 20;
// Sizes a LITERAL- server takes without a continuation request.
constexpr long long k_literal_minus_max = 4096;
// How much longer than the bytes sent a server's bookkeeping headers may
// make a stored message and it still be looked at as that message.
constexpr long long k_bookkeeping_slack = 512;
// Messages and bytes one MULTIAPPEND carries.
constexpr std::size_t k_multi_items = 16;
constexpr std::size_t k_multi_bytes = 2u << 20;

enum class ending { normal, cancelled, failed };

// Where word starts in text, in any letter case; npos when absent.
std::size_t ascii_ifind(const std::string &text, const char *word) {
  const char *at = kq_strcasestr(text.c_str(), word);
  return at ? static_cast<std::size_t>(at - text.c_str()) : std::string::npos;
}

std::string hex_of(const void *data, std::size_t n) {
  unsigned char sum[32];
  sha256::digest(data, n, sum);
  char hex[65];
  digest_hex(sum, hex);
  return hex;
}

// The digest of a message without the header lines an mbox server keeps
// its own bookkeeping in and rewrites when a message is stored (GNU imap4d
// hands out X-UID and X-IMAPbase as part of the message): the same message
// put back comes back with other values there, and must still be known.
std::string digest_without_bookkeeping(std::string_view m) {
  std::size_t end = m.find("\r\n\r\n");
  if (end == std::string_view::npos) return hex_of(m.data(), m.size());
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
  return hex_of(out.data(), out.size());
}

// What the target folder allows and holds.
struct target_state {
  std::uint64_t uidvalidity = 0;
  long long exists = 0;
  bool permanent_listed = false;  // PERMANENTFLAGS came
  bool any_keyword = false;       // it holds "\*"
  std::vector<std::string> permanent;
};

void read_permanent_flags(const std::string &line, target_state &t) {
  std::size_t p = line.find("[PERMANENTFLAGS (");
  if (p == std::string::npos) return;
  std::size_t from = p + 17, to = line.find(')', from);
  if (to == std::string::npos) return;
  t.permanent_listed = true;
  t.permanent.clear();
  std::string_view list(line.data() + from, to - from);
  while (!list.empty()) {
    std::size_t sp = list.find(' ');
    std::string_view f = list.substr(0, sp);
    if (f == "\\*") t.any_keyword = true;
    else if (!f.empty()) t.permanent.emplace_back(f);
    if (sp == std::string_view::npos) break;
    list.remove_prefix(sp + 1);
  }
}

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

// The flags to send: never \Recent (only the server sets it), and a keyword
// only where the folder keeps it.
std::string flag_list(const std::vector<std::string> &flags, const target_state &t) {
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

// One message of the batch on its way.
struct pending {
  restore_item *item = nullptr;
  std::string bytes;
  bool with_flags = true;
  bool flags_tried = false;  // refused once with flags: sent again without
  int status = -2;           // completion: -2 none yet
  std::string text;
  std::uint32_t server_uid = 0;
  std::uint64_t server_uv = 0;
};

// "[APPENDUID <uidvalidity> <uid>]" of a completion.
void read_appenduid(const std::string &text, std::uint64_t &uv, std::uint32_t &uid) {
  std::size_t p = ascii_ifind(text, "[APPENDUID ");
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

class restore_run {
 public:
  restore_run(restore_job &job, session &s) : job_(job), s_(s) {}
  ending run();

 private:
  bool open_target();
  // Leaves the target folder closed (selected by nothing), or open read-only.
  bool leave_target();
  bool examine_target();
  bool load_file(restore_item &it, std::string &bytes);
  void fail(const restore_item &it, const std::string &reason);
  void settle();
  // Which of the batch the server holds already; they leave `batch`.
  bool check_present(std::vector<pending> &batch);
  bool append_batch(std::vector<pending> &batch);
  void submit_append(pending &p);
  // One MULTIAPPEND of several messages (non-synchronizing literals only).
  void submit_multi(std::vector<pending *> group);
  // " (flags) "date"" of one message as APPEND takes it.
  std::string message_args(const pending &p);
  bool record(const std::string &lines);

  restore_job &job_;
  session &s_;
  std::string server_;
  target_state target_;
  std::vector<restore_item> items_;
  // The folder's messages a restore already accounts for: never taken for
  // another archived message.
  std::set<std::uint32_t> claimed_;
  bool check_all_ = false;
  bool literal_plus_ = false, literal_minus_ = false, multiappend_ = false;
  plat::append_file ledger_;
};

bool restore_run::open_target() {
  const std::string &name = job_.opt.folder;
  std::string q;
  if (!imap_quote(folder_wire_name(name), q)) return false;
  command_reply reply;
  // SELECT, not EXAMINE: only a folder open for writing names the flags
  // it keeps.
  int rc = s_.exec("SELECT " + q, &reply);
  if (rc == 1 && job_.opt.create) {
    command_reply made;
    int c = s_.exec("CREATE " + q, &made);
    if (c < 0) return false;
    if (c > 0 && ascii_ifind(made.text, "[ALREADYEXISTS]") == std::string::npos) {
      set_err("cannot create folder %s: %s", name.c_str(), made.text.c_str());
      return false;
    }
    rc = s_.exec("SELECT " + q, &reply);
  }
  if (rc < 0) return false;
  if (rc > 0) {
    set_err("cannot open folder %s: %s", name.c_str(), reply.text.c_str());
    return false;
  }
  mailbox_state st;
  for (const response &r : reply.data) {
    read_mailbox_state(r.line, st);
    read_permanent_flags(r.line, target_);
  }
  target_.uidvalidity = st.uidvalidity;
  target_.exists = st.exists;
  return leave_target();
}

bool restore_run::leave_target() {
  // No folder stays open while messages go up: a server may write back its
  // own view of a folder open for writing over what was appended meanwhile
  // (GNU imap4d's mbox then keeps one message of a dozen), and another
  // refuses an APPEND into a folder open read-only (Courier). UNSELECT, or
  // CLOSE once the folder is open read-only, where CLOSE expunges nothing.
  if (s_.has_capability("UNSELECT")) return s_.exec("UNSELECT") == 0;
  return examine_target() && s_.exec("CLOSE") == 0;
}

bool restore_run::examine_target() {
  std::string q;
  if (!imap_quote(folder_wire_name(job_.opt.folder), q)) return false;
  command_reply reply;
  int rc = s_.exec("EXAMINE " + q, &reply);
  if (rc > 0) set_err("cannot open folder %s: %s", job_.opt.folder.c_str(), reply.text.c_str());
  return rc == 0;
}

bool restore_run::load_file(restore_item &it, std::string &bytes) {
  plat::contained_file f;
  plat::contained_file::status st = f.open(job_.opt.dir.c_str(), it.file);
  if (st != plat::contained_file::ok) {
    fail(it, st == plat::contained_file::absent ? "file missing: " + it.file : "cannot read " + it.file);
    return false;
  }
  long long size = f.size();
  if (size < 0 || size > 0x7FFFFFFFLL) {
    fail(it, "cannot read " + it.file);
    return false;
  }
  bytes.resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    long long n = f.read(bytes.data() + got, bytes.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got != bytes.size()) {
    fail(it, "cannot read " + it.file);
    return false;
  }
  // The bytes must be the ones archived: a changed file is not the message.
  if (hex_of(bytes.data(), bytes.size()) != it.sha256) {
    fail(it, "sha256 does not match the manifest: " + it.file);
    return false;
  }
  return true;
}

void restore_run::fail(const restore_item &it, const std::string &reason) {
  {
    guard hold(job_.lock);
    job_.failures.push_back({it.uid, reason});
  }
  settle();
}

void restore_run::settle() {
  std::uint64_t n = ++job_.done;
  if (auto hook = g_settled_hook.load()) hook(n);
}

bool restore_run::record(const std::string &lines) {
  if (lines.empty()) return true;
  if (!restore_ledger_append(ledger_, job_.opt.dir.c_str(), lines)) return false;
  // A lost line costs only a presence check on the next run; still, what
  // the server took is worth keeping across a power loss.
  if (durable_writes()) ledger_.sync();
  return true;
}

bool restore_run::check_present(std::vector<pending> &batch) {
  // Candidates by Message-ID where a message has one, else by size, all in
  // one pool: a server may answer pipelined searches together before their
  // completions (Dovecot does), so an answer cannot be told to be this
  // search's. Nothing is lost by that: a candidate counts only for the
  // message whose digest it has.
  std::vector<std::uint32_t> pool;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    pending &p = batch[i];
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
    for (const pending &p : batch) {
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
      *out = hex_of(b->bytes.data(), b->bytes.size());
      *loose = digest_without_bookkeeping(b->bytes);
    };
    s_.submit(std::move(c));
  }
  if (!s_.drain() || job_.cancel_requested) return false;
  std::string lines;
  std::vector<pending> left;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    pending &p = batch[i];
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
    restore_ledger_line l{p.item->sha256, p.item->uid, server_, job_.opt.folder, target_.uidvalidity, match};
    restore_ledger_format(lines, l);
    ++job_.present;
    job_.bytes += static_cast<long long>(p.bytes.size());
    settle();
  }
  batch = std::move(left);
  return record(lines);
}

std::string restore_run::message_args(const pending &p) {
  std::string out, date;
  if (p.with_flags && job_.opt.flags) {
    std::string flags = flag_list(p.item->flags, target_);
    if (flags.size() > 2) out += " " + flags;
  }
  if (!p.item->date.empty() && imap_quote(p.item->date, date)) out += " " + date;
  return out;
}

void restore_run::submit_multi(std::vector<pending *> group) {
  std::string q;
  imap_quote(folder_wire_name(job_.opt.folder), q);
  std::string line = "APPEND " + q;
  for (std::size_t i = 0; i < group.size(); ++i) {
    // The next message goes on after the last one's bytes, as the command's
    // own line does: one command, one final CRLF.
    const pending &p = *group[i];
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
      pending &p = *group[i];
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

void restore_run::submit_append(pending &p) {
  std::string q;
  imap_quote(folder_wire_name(job_.opt.folder), q);
  std::string line = "APPEND " + q + message_args(p);
  long long n = static_cast<long long>(p.bytes.size());
  session::command c;
  if (literal_plus_ || (literal_minus_ && n <= k_literal_minus_max)) {
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
  pending *pp = &p;
  c.on_done = [pp](int status, const std::string &text) {
    pp->status = status;
    pp->text = text;
    if (status == 0) read_appenduid(text, pp->server_uv, pp->server_uid);
  };
  s_.submit(std::move(c));
}

bool restore_run::append_batch(std::vector<pending> &batch) {
  if (multiappend_ && literal_plus_ && batch.size() > 1) {
    // Several messages a command, a few commands in flight: the round trips
    // of a slow link are shared out.
    std::vector<pending *> group;
    std::size_t group_bytes = 0;
    for (pending &p : batch) {
      group.push_back(&p);
      group_bytes += p.bytes.size();
      if (group.size() >= k_multi_items || group_bytes >= k_multi_bytes) {
        submit_multi(std::move(group));
        group.clear();
        group_bytes = 0;
      }
    }
    if (!group.empty()) submit_multi(std::move(group));
  } else {
    for (pending &p : batch) submit_append(p);
  }
  bool whole = s_.drain() && !job_.cancel_requested;
  bool alone = false;
  for (pending &p : batch)
    if (whole && p.status == -3) {
      p.status = -2;
      submit_append(p);
      alone = true;
    }
  if (alone) whole = s_.drain() && !job_.cancel_requested;
  if (whole) {
    // A flag the server will not take (a keyword it refuses) must not keep
    // the message away: once more without flags. A message too large goes
    // no better without them.
    bool again = false;
    for (pending &p : batch)
      if (p.status > 0 && p.with_flags && job_.opt.flags && !p.item->flags.empty() &&
          ascii_ifind(p.text, "[TOOBIG]") == std::string::npos &&
          ascii_ifind(p.text, "[OVERQUOTA]") == std::string::npos &&
          ascii_ifind(p.text, "[LIMIT]") == std::string::npos) {
        p.with_flags = false;
        p.status = -2;
        p.text.clear();
        submit_append(p);
        again = true;
      }
    if (again) whole = s_.drain() && !job_.cancel_requested;
  }
  // What the server took is recorded even when the rest of the batch was
  // cut off. A message whose answer never came may or may not be there: it
  // stays unrecorded, and the next run looks for it before sending it.
  std::string lines;
  for (pending &p : batch) {
    if (p.status > 0 && whole) fail(*p.item, "server refused: " + p.text);
    if (p.status != 0) continue;
    std::uint64_t uv = p.server_uv == target_.uidvalidity ? p.server_uv : 0;
    restore_ledger_line l{p.item->sha256, p.item->uid, server_, job_.opt.folder, uv, uv ? p.server_uid : 0};
    if (l.server_uid) claimed_.insert(l.server_uid);
    restore_ledger_format(lines, l);
    ++job_.restored;
    job_.bytes += static_cast<long long>(p.bytes.size());
    settle();
  }
  return record(lines) && whole;
}

ending restore_run::run() {
  if (!restore_plan(job_.opt.dir, items_)) return ending::failed;
  {
    guard hold(job_.lock);
    job_.total = items_.size();
    long long todo = 0;
    for (const restore_item &it : items_) todo += it.size > 0 ? it.size : 0;
    job_.bytes_todo = todo;
  }
  session::stop_scope stop(s_, [this] { return job_.cancel_requested.load() != 0; });
  const conn_config &cfg = s_.config();
  server_ = cfg.host + ":" + decimal(static_cast<unsigned long long>(cfg.port)) + "/" + cfg.user;
  // However the run ends, the session opens the folder its own way last, so
  // what it takes to be open is what the server has open (the commands
  // here went past it); a failure there leaves it taking nothing to be
  // open. The run's own reason stays the reason.
  struct resync {
    session &s;
    const std::string &folder;
    ~resync() {
      std::string why = last_error();
      s.select(folder);
      set_err("%s", why.c_str());
    }
  } resync_at_end{s_, job_.opt.folder};
  if (!open_target()) return job_.cancel_requested ? ending::cancelled : ending::failed;
  literal_plus_ = s_.has_capability("LITERAL+");
  literal_minus_ = s_.has_capability("LITERAL-");
  multiappend_ = s_.has_capability("MULTIAPPEND");
  // Whatever the folder held before may be an earlier run's: every message
  // the ledger does not place there is looked for first.
  check_all_ = target_.exists > 0;

  // The ledger's word counts where it names this server, this folder and
  // the folder's present UIDVALIDITY; elsewhere the folder is asked.
  std::set<std::pair<std::uint32_t, std::string>> done_here;
  for (const restore_ledger_line &l : restore_ledger_load(job_.opt.dir.c_str())) {
    if (l.server != server_ || l.folder != job_.opt.folder) continue;
    // An emptied folder holds none of them any more.
    if (l.uidvalidity != 0 && l.uidvalidity == target_.uidvalidity && target_.exists > 0) {
      done_here.insert({l.uid, l.sha256});
      claimed_.insert(l.server_uid);
    }
  }

  std::size_t keep = s_.window();
  s_.set_window(k_window);
  std::size_t next = 0;
  ending how = ending::normal;
  while (next < items_.size()) {
    if (!job_wait_while_paused(job_)) {
      how = ending::cancelled;
      break;
    }
    std::vector<pending> batch;
    long long batch_bytes = 0;
    while (next < items_.size() && batch.size() < k_batch_items && batch_bytes < k_batch_bytes) {
      restore_item &it = items_[next++];
      {
        guard hold(job_.lock);
        copy_cut(job_.current, sizeof job_.current, it.file);
      }
      if (done_here.count({it.uid, it.sha256})) {
        ++job_.present;
        job_.bytes += it.size > 0 ? it.size : 0;
        settle();
        continue;
      }
      pending p;
      p.item = &it;
      if (!load_file(it, p.bytes)) continue;
      batch_bytes += static_cast<long long>(p.bytes.size());
      batch.push_back(std::move(p));
    }
    if (batch.empty()) continue;
    bool ok = (!check_all_ || (examine_target() && check_present(batch) && leave_target())) &&
              append_batch(batch);
    if (!ok) {
      how = job_.cancel_requested ? ending::cancelled : ending::failed;
      break;
    }
    job_sample_speed(job_);
  }
  s_.set_window(keep);
  ledger_.close();
  return how;
}

}  // namespace

void restore_set_settled_hook(void (*hook)(std::uint64_t)) { g_settled_hook = hook; }

void restore_worker(restore_job &job) {
  job_start_clock(job);
  ending how;
  try {
    restore_run r(job, main_session());
    how = r.run();
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    how = ending::failed;
  } catch (...) {
    set_err("internal error");
    how = ending::failed;
  }
  std::int32_t final_state = k_job_done;
  if (how == ending::failed) final_state = k_job_error;
  else if (how == ending::cancelled || job.cancel_requested) final_state = k_job_stopped;
  else {
    // Anything left behind makes the run a failure that names it.
    guard hold(job.lock);
    if (!job.failures.empty()) {
      std::string text = "not restored: uid";
      for (std::size_t i = 0; i < job.failures.size() && i < 20; ++i)
        text += (i ? ", " : " ") + decimal(job.failures[i].uid);
      if (job.failures.size() > 20) text += ", ...";
      text += " (" + job.failures.front().reason + (job.failures.size() > 1 ? ", ..." : "") + ")";
      set_err("%s", text.c_str());
      final_state = k_job_error;
    }
    if (final_state == k_job_done) job.current[0] = '\0';
  }
  job.hold.release();
  job_finish(job, final_state);
}

}  // namespace kq
