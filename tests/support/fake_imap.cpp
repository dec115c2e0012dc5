#include "support/fake_imap.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "support/platform/os.h"

namespace kqtest {

namespace {

// Every blocking wait is cut into slices this long so stop() is noticed.
constexpr int kSliceMs = 20;
// A runaway client must not eat all memory.
constexpr std::size_t kMaxCommand = 16u * 1024 * 1024;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upper(std::string s) {
  for (char &c : s) c = upper(c);
  return s;
}

bool ieq(const std::string &a, const char *b) { return upper(a) == upper(std::string(b)); }

std::string num(unsigned long long v) { return std::to_string(v); }

// "dd-Mon-yyyy hh:mm:ss +0000" of a unix time, computed by hand: gmtime is
// not thread-safe everywhere and connections run on threads of their own.
std::string internal_date(long long t) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  long long secs = t - days * 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long y = yoe + era * 400;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long d = doy - (153 * mp + 2) / 5 + 1;
  long long m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02lld-%s-%04lld %02lld:%02lld:%02lld +0000", d,
                months[m - 1], y, secs / 3600, secs / 60 % 60, secs % 60);
  return buf;
}

std::string quoted(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

void skip_spaces(const std::string &s, std::size_t &i) {
  while (i < s.size() && s[i] == ' ') ++i;
}

// An atom or a quoted string (a literal was turned into a quoted string
// when the command was read).
bool read_astring(const std::string &s, std::size_t &i, std::string &out) {
  out.clear();
  skip_spaces(s, i);
  if (i >= s.size()) return false;
  if (s[i] == '"') {
    ++i;
    while (i < s.size() && s[i] != '"') {
      if (s[i] == '\\' && i + 1 < s.size()) ++i;
      out += s[i++];
    }
    if (i >= s.size()) return false;
    ++i;
    return true;
  }
  while (i < s.size() && s[i] != ' ') out += s[i++];
  return !out.empty();
}

// A word up to the next space outside brackets and parentheses.
std::string read_word(const std::string &s, std::size_t &i) {
  skip_spaces(s, i);
  std::size_t start = i;
  int depth = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '[' || c == '(') ++depth;
    else if ((c == ']' || c == ')') && depth > 0) --depth;
    else if (c == ' ' && depth == 0) break;
    ++i;
  }
  return s.substr(start, i - start);
}

// A sequence set: ranges over 1..2^32-1 and '*' (the given star value).
struct number_set {
  std::vector<std::pair<unsigned long long, unsigned long long>> ranges;
  bool contains(unsigned long long v) const {
    for (const auto &r : ranges)
      if (v >= r.first && v <= r.second) return true;
    return false;
  }
};

bool parse_number_set(const std::string &text, unsigned long long star, number_set &out) {
  out.ranges.clear();
  std::size_t i = 0;
  auto one = [&](unsigned long long &v) {
    if (i < text.size() && text[i] == '*') {
      ++i;
      v = star;
      return true;
    }
    std::size_t start = i;
    v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      if (v > 0xFFFFFFFFULL) return false;
      ++i;
    }
    return i > start && v > 0;
  };
  while (i < text.size()) {
    unsigned long long a, b;
    if (!one(a)) return false;
    b = a;
    if (i < text.size() && text[i] == ':') {
      ++i;
      if (!one(b)) return false;
    }
    if (a > b) std::swap(a, b);
    out.ranges.push_back({a, b});
    if (i < text.size()) {
      if (text[i] != ',') return false;
      ++i;
    }
  }
  return !out.ranges.empty();
}

// A UID list as a compact set ("1:3,7").
std::string set_text(const std::vector<std::uint32_t> &uids) {
  std::string out;
  for (std::size_t i = 0; i < uids.size();) {
    std::size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += num(uids[i]);
    if (j > i) out += ':' + num(uids[j]);
    i = j + 1;
  }
  return out;
}

// The header block (with its closing empty line) and the text after it.
void split_message(const std::string &body, std::string &header, std::string &text) {
  std::size_t end = body.find("\r\n\r\n");
  if (end == std::string::npos) {
    header = body;
    text.clear();
    return;
  }
  header = body.substr(0, end + 4);
  text = body.substr(end + 4);
}

// The header fields named (or, with `invert`, the others), each with its
// continuation lines, followed by the empty line.
std::string header_fields(const std::string &body, const std::vector<std::string> &names,
                          bool invert) {
  std::string header, text;
  split_message(body, header, text);
  std::string out;
  std::size_t pos = 0;
  bool keep = false;
  while (pos < header.size()) {
    std::size_t eol = header.find("\r\n", pos);
    std::size_t next = eol == std::string::npos ? header.size() : eol + 2;
    std::string line = header.substr(pos, next - pos);
    if (line == "\r\n") break;
    if (line[0] != ' ' && line[0] != '\t') {
      std::string name = upper(line.substr(0, line.find(':')));
      bool named = std::find(names.begin(), names.end(), name) != names.end();
      keep = named != invert;
    }
    if (keep) out += line;
    pos = next;
  }
  return out + "\r\n";
}

std::size_t count_lines(const std::string &s) {
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n'));
}

std::string literal(const std::string &bytes) {
  return "{" + num(bytes.size()) + "}\r\n" + bytes;
}

}  // namespace

struct FakeImap::Conn {
  int id = 0;
  platform::Socket sock;
  std::string in;   // bytes read, not yet taken as a command
  std::string out;  // answer not yet sent
  bool authed = false;
  std::string selected;  // "" when none
  bool read_only = true;
  // The literal a "+" was sent for: the offset in `in` of the line that
  // announced it (npos: none).
  std::size_t asked_literal = std::string::npos;
  // Expunges by expunge_now() not yet announced here.
  std::string pending;
  std::atomic<bool> drop{false};
};

FakeImap::FakeImap(std::vector<Folder> folders) : FakeImap(std::move(folders), Options{}) {}

FakeImap::FakeImap(std::vector<Folder> folders, Options opts)
    : opts_(std::move(opts)), folders_(std::move(folders)) {
  for (Folder &f : folders_) {
    std::sort(f.messages.begin(), f.messages.end(),
              [](const Message &a, const Message &b) { return a.uid < b.uid; });
    unsigned long long top = f.messages.empty() ? 0 : f.messages.back().uid;
    uidnext_[f.name] = top + 1;
  }
}

FakeImap::~FakeImap() { stop(); }

bool FakeImap::start(std::string *err) {
  if (started_) {
    if (err) *err = "FakeImap already started";
    return false;
  }
  std::string e;
  if (!listener_.open_loopback(0, &e)) {
    if (err) *err = e;
    return false;
  }
  started_ = true;
  port_ = listener_.port();
  started_ms_ = platform::now_ms();
  accept_thread_ = std::thread([this] { accept_loop(); });
  return true;
}

void FakeImap::stop() {
  stopping_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lk(mu_);
    threads.swap(conn_threads_);
  }
  for (std::thread &t : threads)
    if (t.joinable()) t.join();
  listener_.close();
}

void FakeImap::set_quirks(const Quirks &q) {
  std::lock_guard<std::mutex> lk(mu_);
  q_ = q;
  reset_once_state();
}

FakeImap::Quirks FakeImap::quirks() const {
  std::lock_guard<std::mutex> lk(mu_);
  return q_;
}

void FakeImap::rearm() {
  std::lock_guard<std::mutex> lk(mu_);
  reset_once_state();
}

void FakeImap::reset_once_state() {
  uid_fetch_n_ = 0;
  records_sent_ = 0;
  fired_unavailable_ = fired_backoff_ = fired_bye_ = fired_expunge_ = fired_wrong_literal_ = false;
  fired_no_body_.clear();
  fired_two_bodies_.clear();
  dropped_.clear();
}

void FakeImap::drop_connections() {
  std::lock_guard<std::mutex> lk(mu_);
  for (auto &c : conns_) c->drop = true;
}

void FakeImap::expunge_now(const std::string &folder, const std::vector<std::uint32_t> &uids) {
  std::lock_guard<std::mutex> lk(mu_);
  for (Folder &f : folders_) {
    if (f.name != folder) continue;
    for (std::uint32_t gone : uids) {
      auto it = std::find_if(f.messages.begin(), f.messages.end(),
                             [gone](const Message &m) { return m.uid == gone; });
      if (it == f.messages.end()) continue;
      std::string line = "* " + num(static_cast<unsigned long long>(it - f.messages.begin()) + 1) + " EXPUNGE\r\n";
      for (auto &c : conns_)
        if (c->selected == folder) c->pending += line;
      expunged_.push_back({f.name, *it});
      f.messages.erase(it);
    }
  }
}

std::vector<FakeImap::Message> FakeImap::messages(const std::string &folder) const {
  std::lock_guard<std::mutex> lk(mu_);
  for (const Folder &f : folders_)
    if (f.name == folder) return f.messages;
  return {};
}

std::vector<std::pair<std::string, FakeImap::Message>> FakeImap::expunged() const {
  std::lock_guard<std::mutex> lk(mu_);
  return expunged_;
}

std::vector<FakeImap::Command> FakeImap::commands() const {
  std::lock_guard<std::mutex> lk(mu_);
  return commands_;
}

std::string FakeImap::received_bytes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return raw_;
}

int FakeImap::connections() const {
  std::lock_guard<std::mutex> lk(mu_);
  return connections_;
}

bool FakeImap::login_seen() const {
  std::lock_guard<std::mutex> lk(mu_);
  return login_seen_;
}

int FakeImap::uid_fetches() const {
  std::lock_guard<std::mutex> lk(mu_);
  return uid_fetch_n_;
}

std::map<std::string, int> FakeImap::faults() const {
  std::lock_guard<std::mutex> lk(mu_);
  return faults_;
}

std::vector<std::string> FakeImap::notes() const {
  std::lock_guard<std::mutex> lk(mu_);
  return notes_;
}

void FakeImap::note(const std::string &text) {
  if (notes_.size() < 200) notes_.push_back(text);
}

std::string FakeImap::connect_json(const std::string &extra) const {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port_) +
         ",\"ssl\":0,\"user\":" + quoted(opts_.user) + ",\"pass\":" + quoted(opts_.pass) +
         (extra.empty() ? "" : "," + extra) + "}";
}

void FakeImap::accept_loop() {
  while (!stopping_) {
    platform::Socket s = listener_.accept(kSliceMs);
    if (!s.valid()) continue;
    auto c = std::make_shared<Conn>();
    c->sock = std::move(s);
    std::lock_guard<std::mutex> lk(mu_);
    c->id = ++connections_;
    conns_.push_back(c);
    conn_threads_.emplace_back([this, c] { serve(c); });
  }
}

bool FakeImap::flush(Conn &c) {
  long rate;
  {
    std::lock_guard<std::mutex> lk(mu_);
    rate = q_.dribble_bytes_per_s;
    if (rate > 0 && !c.out.empty()) ++faults_["dribble_bytes_per_s"];
  }
  std::size_t off = 0;
  long long quiet_since = platform::now_ms();
  // Dribbled: a share of the rate every slice, so the bytes flow steadily.
  std::size_t chunk = rate > 0 ? static_cast<std::size_t>(std::max(1L, rate * kSliceMs / 1000))
                               : c.out.size();
  while (off < c.out.size()) {
    if (stopping_ || c.drop) return false;
    std::size_t end = std::min(c.out.size(), off + chunk);
    while (off < end) {
      if (stopping_ || c.drop) return false;
      long n = c.sock.send_some(c.out.data() + off, end - off, kSliceMs);
      if (n < 0) return false;
      if (n > 0) {
        off += static_cast<std::size_t>(n);
        bytes_sent_ += static_cast<std::uint64_t>(n);
        quiet_since = platform::now_ms();
      } else if (platform::now_ms() - quiet_since > opts_.send_ms) {
        std::lock_guard<std::mutex> lk(mu_);
        note("connection " + num(static_cast<unsigned>(c.id)) + ": client read nothing for " +
             num(static_cast<unsigned>(opts_.send_ms)) + " ms");
        return false;
      }
    }
    if (rate > 0 && off < c.out.size()) platform::sleep_ms(kSliceMs);
  }
  c.out.clear();
  return true;
}

void FakeImap::serve(std::shared_ptr<Conn> cp) {
  Conn &c = *cp;
  c.out = "* OK fake IMAP server ready\r\n";
  bool open = flush(c);
  char buf[65536];
  long long idle_since = platform::now_ms();
  while (open && !stopping_ && !c.drop) {
    // One command: its line, and for every literal it announces the
    // literal's bytes and the rest of the line.
    std::size_t lf = c.in.find('\n');
    if (lf == std::string::npos) {
      if (c.in.size() > kMaxCommand) break;
      long n = c.sock.recv_some(buf, sizeof buf, kSliceMs);
      if (n > 0) {
        std::lock_guard<std::mutex> lk(mu_);
        raw_.append(buf, static_cast<std::size_t>(n));
        c.in.append(buf, static_cast<std::size_t>(n));
        idle_since = platform::now_ms();
      } else if (n == platform::kRecvEof || n == platform::kRecvError) {
        break;
      } else if (platform::now_ms() - idle_since > opts_.idle_ms) {
        break;
      }
      continue;
    }
    // A complete first line; literals make the command longer.
    std::string cmd;
    std::size_t octets = 0;
    std::size_t at = 0;
    bool complete = false;
    for (;;) {
      std::size_t eol = c.in.find('\n', at);
      if (eol == std::string::npos) break;
      std::size_t end = eol > at && c.in[eol - 1] == '\r' ? eol - 1 : eol;
      std::string part = c.in.substr(at, end - at);
      std::size_t lit = 0;
      bool sync = true, has_lit = false;
      if (!part.empty() && part.back() == '}') {
        std::size_t open_br = part.rfind('{');
        if (open_br != std::string::npos) {
          std::string inner = part.substr(open_br + 1, part.size() - open_br - 2);
          if (!inner.empty() && inner.back() == '+') sync = false, inner.pop_back();
          if (!inner.empty() && inner.size() < 9 &&
              inner.find_first_not_of("0123456789") == std::string::npos) {
            has_lit = true;
            lit = std::stoul(inner);
            part.resize(open_br);
          }
        }
      }
      cmd += part;
      if (!has_lit) {
        octets = eol + 1;
        complete = true;
        break;
      }
      if (c.in.size() < eol + 1 + lit) {
        // The literal has not arrived: ask for it once, then read on.
        if (sync && c.asked_literal != eol) {
          c.out += "+ go ahead\r\n";
          c.asked_literal = eol;
        }
        break;
      }
      cmd += quoted(c.in.substr(eol + 1, lit));
      at = eol + 1 + lit;
    }
    if (!complete) {
      if (!c.out.empty() && !flush(c)) break;
      long n = c.sock.recv_some(buf, sizeof buf, kSliceMs);
      if (n > 0) {
        std::lock_guard<std::mutex> lk(mu_);
        raw_.append(buf, static_cast<std::size_t>(n));
        c.in.append(buf, static_cast<std::size_t>(n));
        idle_since = platform::now_ms();
      } else if (n == platform::kRecvEof || n == platform::kRecvError) {
        break;
      } else if (platform::now_ms() - idle_since > opts_.idle_ms) {
        break;
      }
      continue;
    }
    c.in.erase(0, octets);
    c.asked_literal = std::string::npos;
    {
      std::lock_guard<std::mutex> lk(mu_);
      Command rec;
      rec.connection = c.id;
      rec.tag = cmd.substr(0, cmd.find(' '));
      rec.line = cmd;
      rec.octets = octets;
      rec.at_ms = platform::now_ms() - started_ms_;
      commands_.push_back(rec);
      open = handle(c, cmd, octets);
      std::string needle = rec.tag + " ";
      std::size_t p = c.out.compare(0, needle.size(), needle) == 0 ? 0 : c.out.find("\r\n" + needle);
      if (p != std::string::npos) {
        if (p > 0) p += 2;
        std::size_t e = c.out.find("\r\n", p);
        commands_.back().completion = c.out.substr(p + needle.size(), e - p - needle.size());
      }
    }
    if (!flush(c)) break;
  }
  c.sock.close();
}

FakeImap::Folder *FakeImap::selected(Conn &c) {
  if (c.selected.empty()) return nullptr;
  for (Folder &f : folders_)
    if (f.name == c.selected) return &f;
  return nullptr;
}

bool FakeImap::handle(Conn &c, const std::string &line, std::size_t octets) {
  std::size_t sp = line.find(' ');
  if (sp == std::string::npos || sp == 0) {
    c.out += "* BAD no command\r\n";
    note("no command: " + line.substr(0, 200));
    return true;
  }
  std::string tag = line.substr(0, sp);
  c.out += c.pending;
  c.pending.clear();
  std::size_t i = sp + 1;
  std::string word = upper(read_word(line, i));
  skip_spaces(line, i);
  std::string args = line.substr(i);
  if (q_.max_line_octets > 0 && octets > q_.max_line_octets) {
    ++faults_["max_line_octets"];
    c.out += tag + " BAD line too long\r\n";
    return true;
  }
  bool uid = false;
  if (word == "UID") {
    uid = true;
    word = upper(read_word(line, i));
    skip_spaces(line, i);
    args = line.substr(i);
  }
  if (word == "CAPABILITY") {
    std::string caps = "IMAP4rev1 LITERAL+ SASL-IR ID ENABLE UIDPLUS";
    if (!q_.no_esearch) caps += " ESEARCH";
    else ++faults_["no_esearch"];
    caps += q_.logindisabled ? " LOGINDISABLED" : " AUTH=PLAIN";
    if (q_.logindisabled) ++faults_["logindisabled"];
    c.out += "* CAPABILITY " + caps + "\r\n" + tag + " OK CAPABILITY completed\r\n";
    return true;
  }
  if (word == "NOOP" || word == "CHECK") {
    c.out += tag + " OK " + word + " completed\r\n";
    return true;
  }
  if (word == "ID" || word == "ENABLE") {
    c.out += (word == "ID" ? "* ID NIL\r\n" : "") + tag + " OK " + word + " completed\r\n";
    return true;
  }
  if (word == "LOGOUT") {
    c.out += "* BYE logging out\r\n" + tag + " OK LOGOUT completed\r\n";
    return false;
  }
  if (word == "LOGIN") {
    login_seen_ = true;
    if (q_.logindisabled) {
      c.out += tag + " NO [PRIVACYREQUIRED] LOGIN is disabled on this connection\r\n";
      return true;
    }
    std::size_t j = 0;
    std::string user, pass;
    if (!read_astring(args, j, user) || !read_astring(args, j, pass)) {
      c.out += tag + " BAD LOGIN needs a user and a password\r\n";
      return true;
    }
    if (user != opts_.user || pass != opts_.pass) {
      c.out += tag + " NO [AUTHENTICATIONFAILED] Authentication failed.\r\n";
      return true;
    }
    c.authed = true;
    c.out += tag + " OK Logged in\r\n";
    return true;
  }
  if (word == "AUTHENTICATE") {
    // Only PLAIN with an initial response: enough to log in by SASL.
    std::size_t j = 0;
    std::string mech = upper(read_word(args, j));
    std::string ir = read_word(args, j);
    if (mech != "PLAIN" || q_.logindisabled || ir.empty()) {
      c.out += tag + " NO [CANNOT] mechanism not offered\r\n";
      return true;
    }
    c.authed = true;
    c.out += tag + " OK Logged in\r\n";
    return true;
  }
  if (!c.authed) {
    c.out += tag + " BAD log in first\r\n";
    return true;
  }
  if (word == "SELECT" || word == "EXAMINE") {
    do_select(c, tag, args, word == "EXAMINE");
    return true;
  }
  if (word == "LIST" || word == "LSUB") {
    do_list(c, tag, args, word == "LIST" ? "LIST" : "LSUB");
    return true;
  }
  if (word == "STATUS") {
    do_status(c, tag, args);
    return true;
  }
  if (word == "CLOSE" || word == "UNSELECT") {
    c.selected.clear();
    c.out += tag + " OK " + word + " completed\r\n";
    return true;
  }
  if (word == "EXPUNGE") {
    c.out += tag + (c.selected.empty() ? " BAD no mailbox selected\r\n" : " OK EXPUNGE completed\r\n");
    return true;
  }
  if (word == "SEARCH" || word == "FETCH") {
    // Outside the folder the faults are confined to, this server is sane;
    // the once-only memories and the UID FETCH count stay as they are.
    bool sane_here = !q_.only_in_folder.empty() && c.selected != q_.only_in_folder;
    Quirks kept;
    if (sane_here) {
      kept = std::move(q_);
      q_ = Quirks{};
    }
    bool open = true;
    if (word == "SEARCH") do_search(c, tag, args, uid);
    else open = do_fetch(c, tag, args, uid);
    if (sane_here) q_ = std::move(kept);
    return open;
  }
  note("unknown command: " + line.substr(0, 200));
  c.out += tag + " BAD unknown command\r\n";
  return true;
}

void FakeImap::do_select(Conn &c, const std::string &tag, const std::string &args, bool examine) {
  std::size_t j = 0;
  std::string name;
  c.selected.clear();
  if (!read_astring(args, j, name)) {
    c.out += tag + " BAD mailbox name missing\r\n";
    return;
  }
  const Folder *f = nullptr;
  for (const Folder &x : folders_)
    if (x.name == name || (ieq(name, "INBOX") && ieq(x.name, "INBOX"))) f = &x;
  if (!f) {
    c.out += tag + " NO [NONEXISTENT] Mailbox doesn't exist: " + name + "\r\n";
    return;
  }
  if (!q_.unreadable_folder.empty() && f->name == q_.unreadable_folder) {
    ++faults_["unreadable_folder"];
    c.out += tag + " NO [NOPERM] Permission denied\r\n";
    return;
  }
  c.out += "* FLAGS (\\Answered \\Flagged \\Deleted \\Seen \\Draft)\r\n";
  c.out += "* OK [PERMANENTFLAGS ()] Read-only mailbox.\r\n";
  c.out += "* " + num(f->messages.size()) + " EXISTS\r\n* 0 RECENT\r\n";
  c.out += "* OK [UIDVALIDITY " + num(f->uidvalidity) + "] UIDs valid\r\n";
  if (!q_.no_uidnext) c.out += "* OK [UIDNEXT " + num(uidnext_[f->name]) + "] Predicted next UID\r\n";
  else ++faults_["no_uidnext"];
  c.selected = f->name;
  c.read_only = examine;
  c.out += tag + (examine ? " OK [READ-ONLY] EXAMINE completed\r\n" : " OK [READ-WRITE] SELECT completed\r\n");
}

namespace {

// LIST pattern match: '*' matches anything, '%' anything but the delimiter.
bool glob(const char *p, const char *s) {
  if (!*p) return !*s;
  if (*p == '*' || *p == '%') {
    for (const char *t = s;; ++t) {
      if (glob(p + 1, t)) return true;
      if (!*t || (*p == '%' && *t == '/')) return false;
    }
  }
  return *s && *p == *s && glob(p + 1, s + 1);
}

}  // namespace

void FakeImap::do_list(Conn &c, const std::string &tag, const std::string &args, const char *word) {
  std::size_t j = 0;
  skip_spaces(args, j);
  if (j < args.size() && args[j] == '(') read_word(args, j);  // selection options
  std::string ref, pattern;
  if (!read_astring(args, j, ref) || !read_astring(args, j, pattern)) {
    c.out += tag + " BAD " + word + " needs a reference and a pattern\r\n";
    return;
  }
  if (pattern.empty()) {
    c.out += std::string("* ") + word + " (\\Noselect) \"/\" \"\"\r\n" + tag + " OK " + word +
             " completed\r\n";
    return;
  }
  std::string full = ref + pattern;
  for (const Folder &f : folders_)
    if (glob(full.c_str(), f.name.c_str()))
      c.out += std::string("* ") + word + " (\\HasNoChildren) \"/\" " + quoted(f.name) + "\r\n";
  c.out += tag + " OK " + word + " completed\r\n";
}

void FakeImap::do_status(Conn &c, const std::string &tag, const std::string &args) {
  std::size_t j = 0;
  std::string name;
  if (!read_astring(args, j, name)) {
    c.out += tag + " BAD mailbox name missing\r\n";
    return;
  }
  const Folder *f = nullptr;
  for (const Folder &x : folders_)
    if (x.name == name) f = &x;
  if (!f) {
    c.out += tag + " NO [NONEXISTENT] Mailbox doesn't exist\r\n";
    return;
  }
  if (f->name == q_.unreadable_folder) {
    c.out += tag + " NO [NOPERM] Permission denied\r\n";
    return;
  }
  std::string items = upper(args.substr(j));
  std::string out;
  auto add = [&out](const std::string &k, unsigned long long v) {
    out += (out.empty() ? "" : " ") + k + " " + num(v);
  };
  if (items.find("MESSAGES") != std::string::npos) add("MESSAGES", f->messages.size());
  if (items.find("RECENT") != std::string::npos) add("RECENT", 0);
  if (items.find("UIDNEXT") != std::string::npos && !q_.no_uidnext) add("UIDNEXT", uidnext_[f->name]);
  if (items.find("UIDVALIDITY") != std::string::npos) add("UIDVALIDITY", f->uidvalidity);
  if (items.find("UNSEEN") != std::string::npos) add("UNSEEN", 0);
  c.out += "* STATUS " + quoted(f->name) + " (" + out + ")\r\n" + tag + " OK STATUS completed\r\n";
}

void FakeImap::do_search(Conn &c, const std::string &tag, const std::string &args_in, bool uid) {
  std::string args = args_in;
  Folder *f = selected(c);
  if (!f) {
    c.out += tag + " BAD no mailbox selected\r\n";
    return;
  }
  std::size_t j = 0;
  std::vector<std::string> ret;
  bool esearch = false;
  std::string w = read_word(args, j);
  if (ieq(w, "RETURN")) {
    if (q_.no_esearch) {
      ++faults_["no_esearch"];
      c.out += tag + " BAD unknown search key RETURN\r\n";
      return;
    }
    esearch = true;
    std::string opts = read_word(args, j);
    std::string inner = opts.size() >= 2 ? opts.substr(1, opts.size() - 2) : "";
    std::size_t k = 0;
    for (std::string o = read_word(inner, k); !o.empty(); o = read_word(inner, k)) ret.push_back(upper(o));
    if (ret.empty()) ret.push_back("ALL");
    w = read_word(args, j);
  }
  if (ieq(w, "CHARSET")) {
    read_word(args, j);
    w = read_word(args, j);
  }
  // The keys this server knows, all of which must hold: ALL, UID <set>, a
  // sequence set, NOT and OR of keys, parenthesised lists, and the flag
  // keys (no message here has a flag).
  unsigned long long top_uid = f->messages.empty() ? 0 : f->messages.back().uid;
  std::string bad;
  std::function<bool(const std::string &, std::vector<bool> &)> key;
  // Reads the key starting with w (and its arguments) into mask.
  key = [&](const std::string &w, std::vector<bool> &mask) -> bool {
    std::string k = upper(w);
    mask.assign(f->messages.size(), true);
    if (k.empty()) {
      bad = "search key missing";
      return false;
    }
    if (k == "ALL" || k == "UNDELETED" || k == "UNSEEN" || k == "UNFLAGGED" || k == "UNANSWERED" ||
        k == "UNDRAFT" || k == "OLD")
      return true;
    if (k == "DELETED" || k == "SEEN" || k == "FLAGGED" || k == "ANSWERED" || k == "DRAFT" ||
        k == "NEW" || k == "RECENT") {
      mask.assign(f->messages.size(), false);
      return true;
    }
    if (k == "NOT") {
      if (!key(read_word(args, j), mask)) return false;
      mask.flip();
      return true;
    }
    if (k == "OR") {
      std::vector<bool> other;
      if (!key(read_word(args, j), mask) || !key(read_word(args, j), other)) return false;
      for (std::size_t m = 0; m < mask.size(); ++m) mask[m] = mask[m] || other[m];
      return true;
    }
    if (k[0] == '(' && k.back() == ')') {
      // All keys of the list must hold.
      std::string inner = w.substr(1, w.size() - 2);
      std::size_t q = 0;
      std::vector<bool> one;
      for (std::string x = read_word(inner, q); !x.empty(); x = read_word(inner, q)) {
        std::size_t keep_j = j;
        std::string keep_args = args;
        // Arguments of keys inside the list come from the list.
        args = inner.substr(q);
        j = 0;
        bool ok = key(x, one);
        q += j;
        args = keep_args;
        j = keep_j;
        if (!ok) return false;
        for (std::size_t m = 0; m < mask.size(); ++m) mask[m] = mask[m] && one[m];
      }
      return true;
    }
    number_set set;
    if (k == "UID") {
      if (!parse_number_set(read_word(args, j), top_uid, set)) {
        bad = "bad UID set";
        return false;
      }
      for (std::size_t m = 0; m < mask.size(); ++m) mask[m] = set.contains(f->messages[m].uid);
      return true;
    }
    if ((k[0] >= '0' && k[0] <= '9') || k[0] == '*') {
      if (!parse_number_set(k, f->messages.size(), set)) {
        bad = "bad sequence set";
        return false;
      }
      for (std::size_t m = 0; m < mask.size(); ++m) mask[m] = set.contains(m + 1);
      return true;
    }
    note("unknown search key: " + w);
    bad = "unknown search key " + w;
    return false;
  };
  std::vector<bool> keep(f->messages.size(), true), one;
  for (; !w.empty(); w = read_word(args, j)) {
    if (!key(w, one)) {
      c.out += tag + " BAD " + bad + "\r\n";
      return;
    }
    for (std::size_t m = 0; m < keep.size(); ++m) keep[m] = keep[m] && one[m];
  }
  std::vector<std::uint32_t> hits;
  for (std::size_t m = 0; m < keep.size(); ++m)
    if (keep[m]) hits.push_back(uid ? f->messages[m].uid : static_cast<std::uint32_t>(m + 1));
  if (esearch) {
    std::string out = "* ESEARCH (TAG " + quoted(tag) + ")" + (uid ? " UID" : "");
    for (const std::string &r : ret) {
      if (r == "COUNT") out += " COUNT " + num(hits.size());
      else if (hits.empty()) continue;
      else if (r == "MIN") out += " MIN " + num(hits.front());
      else if (r == "MAX") out += " MAX " + num(hits.back());
      else if (r == "ALL") out += " ALL " + set_text(hits);
    }
    c.out += out + "\r\n";
  } else {
    std::string out = "* SEARCH";
    for (std::uint32_t h : hits) out += " " + num(h);
    c.out += out + "\r\n";
  }
  c.out += tag + " OK SEARCH completed\r\n";
}

bool FakeImap::do_fetch(Conn &c, const std::string &tag, const std::string &args, bool uid) {
  Folder *f = selected(c);
  if (!f) {
    c.out += tag + " BAD no mailbox selected\r\n";
    return true;
  }
  std::size_t j = 0;
  std::string set_word = read_word(args, j);
  skip_spaces(args, j);
  std::string items_text = args.substr(j);
  if (!items_text.empty() && items_text[0] == '(') {
    if (items_text.back() != ')') {
      c.out += tag + " BAD unbalanced item list\r\n";
      return true;
    }
    items_text = items_text.substr(1, items_text.size() - 2);
  }
  std::vector<std::string> items;
  std::size_t k = 0;
  for (std::string it = read_word(items_text, k); !it.empty(); it = read_word(items_text, k)) {
    std::string u = upper(it);
    if (u == "ALL" || u == "FAST" || u == "FULL") {
      for (const char *m : {"FLAGS", "INTERNALDATE", "RFC822.SIZE"}) items.push_back(m);
      if (u != "FAST") items.push_back("ENVELOPE");
      if (u == "FULL") items.push_back("BODY");
      continue;
    }
    items.push_back(it);
  }
  if (items.empty()) {
    c.out += tag + " BAD no fetch items\r\n";
    return true;
  }
  // A body fetch asks for the whole message; anything else is rows.
  bool body_kind = false;
  for (const std::string &it : items) {
    std::string u = upper(it);
    if (u == "BODY[]" || u == "BODY.PEEK[]" || u == "RFC822" || u == "BINARY[]" ||
        u == "BINARY.PEEK[]" || u.rfind("BODY[]<", 0) == 0 || u.rfind("BODY.PEEK[]<", 0) == 0)
      body_kind = true;
  }
  int kind = body_kind ? 1 : 0;

  if (uid) {
    int n = ++uid_fetch_n_;
    if (q_.no_unavailable_once_for_command_n == n && !fired_unavailable_) {
      fired_unavailable_ = true;
      ++faults_["no_unavailable_once_for_command_n"];
      c.out += tag + " NO [UNAVAILABLE] Internal error occurred. Refer to server log for more information.\r\n";
      return true;
    }
    if (q_.suggested_backoff_for_command_n == n && !fired_backoff_) {
      fired_backoff_ = true;
      ++faults_["suggested_backoff_for_command_n"];
      c.out += tag + " NO [THROTTLED] Suggested Backoff Time: 200 ms\r\n";
      return true;
    }
    if (q_.expunge_during_uid_fetch_n == n && !fired_expunge_) {
      fired_expunge_ = true;
      ++faults_["expunge_during_uid_fetch_n"];
      for (std::uint32_t gone : q_.expunge_uids) {
        auto it = std::find_if(f->messages.begin(), f->messages.end(),
                               [gone](const Message &m) { return m.uid == gone; });
        if (it == f->messages.end()) continue;
        c.out += "* " + num(static_cast<unsigned long long>(it - f->messages.begin()) + 1) + " EXPUNGE\r\n";
        expunged_.push_back({f->name, *it});
        f->messages.erase(it);
      }
    }
  }

  unsigned long long star = uid ? (f->messages.empty() ? 0 : f->messages.back().uid)
                                : f->messages.size();
  number_set set;
  if (!parse_number_set(set_word, star, set)) {
    c.out += tag + " BAD bad message set\r\n";
    return true;
  }
  std::vector<std::size_t> hit;
  for (const auto &r : set.ranges) {
    if (uid) {
      auto lo = std::lower_bound(f->messages.begin(), f->messages.end(), r.first,
                                 [](const Message &m, unsigned long long v) { return m.uid < v; });
      for (auto it = lo; it != f->messages.end() && it->uid <= r.second; ++it)
        hit.push_back(static_cast<std::size_t>(it - f->messages.begin()));
    } else {
      if (r.first < 1 || r.first > f->messages.size()) {
        c.out += tag + " BAD invalid message sequence number\r\n";
        return true;
      }
      for (unsigned long long s = r.first; s <= std::min<unsigned long long>(r.second, f->messages.size()); ++s)
        hit.push_back(static_cast<std::size_t>(s - 1));
    }
  }
  std::sort(hit.begin(), hit.end());
  hit.erase(std::unique(hit.begin(), hit.end()), hit.end());
  if (uid && q_.no_for_long_sets > 0 && hit.size() > q_.no_for_long_sets) {
    ++faults_["no_for_long_sets"];
    c.out += tag + " NO Server Unavailable. 15\r\n";
    return true;
  }

  // The records, each one complete (line, literals, closing parenthesis).
  std::vector<std::string> records;
  bool throttled = false, bye = false;
  const char *uid_word = q_.lower_case_uid_item ? "uid " : "UID ";
  for (std::size_t h = 0; h < hit.size() && !bye; ++h) {
    std::size_t idx = hit[h];
    const Message &m = f->messages[idx];
    std::string head = (q_.nul_before_records ? std::string(1, '\0') : std::string()) + "* " +
                       num(idx + 1) + " FETCH (";
    if (uid && q_.throttled_ok_drops > 0 && (h + 1) % static_cast<std::size_t>(q_.throttled_ok_drops) == 0 &&
        dropped_.insert({kind, m.uid}).second) {
      throttled = true;
      continue;
    }
    if (body_kind && q_.fetch_without_body_once.count(m.uid) && fired_no_body_.insert(m.uid).second) {
      ++faults_["fetch_without_body_once"];
      records.push_back(head + uid_word + num(m.uid) + " FLAGS (\\Seen))\r\n");
      continue;
    }
    std::string header, text;
    split_message(m.body, header, text);
    std::vector<std::string> parts;  // "NAME value" each
    bool want_uid = uid;
    std::string structure_part;
    bool short_literal = body_kind && q_.wrong_literal_length_once == m.uid && !fired_wrong_literal_ &&
                         m.body.size() > 7;
    for (const std::string &it : items) {
      std::string u = upper(it);
      if (u == "UID") {
        want_uid = true;
      } else if (u == "FLAGS") {
        parts.push_back("FLAGS ()");
      } else if (u == "RFC822.SIZE") {
        parts.push_back("RFC822.SIZE " + num(m.body.size()));
      } else if (u == "INTERNALDATE") {
        parts.push_back("INTERNALDATE \"" + internal_date(m.date) + "\"");
      } else if (u == "ENVELOPE") {
        parts.push_back("ENVELOPE (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL)");
      } else if (u == "BODYSTRUCTURE" || u == "BODY") {
        bool ext = u == "BODYSTRUCTURE";
        std::string textpart = "(\"TEXT\" \"PLAIN\" (\"CHARSET\" \"US-ASCII\") NIL NIL \"7BIT\" " +
                               num(text.size()) + " " + num(count_lines(text)) +
                               (ext ? " NIL NIL NIL NIL)" : ")");
        std::string s;
        if (q_.uid_text_in_bodystructure) {
          ++faults_["uid_text_in_bodystructure"];
          std::string fname = quoted("x UID " + num(f->messages[f->messages.size() - 1 - idx].uid) + ".pdf");
          s = "(" + textpart + "(\"APPLICATION\" \"PDF\" (\"NAME\" " + fname +
              ") NIL NIL \"BASE64\" 1000 " + (ext ? "NIL (\"ATTACHMENT\" (\"FILENAME\" " + fname + ")) NIL NIL)" : ")") +
              " \"MIXED\"" + (ext ? " (\"BOUNDARY\" \"b1\") NIL NIL NIL)" : ")");
          structure_part = u + " " + s;
          continue;
        }
        parts.push_back(u + " " + textpart);
      } else if (u == "RFC822" || u == "RFC822.HEADER" || u == "RFC822.TEXT") {
        const std::string &bytes = u == "RFC822" ? m.body : u == "RFC822.HEADER" ? header : text;
        parts.push_back(u + " " + literal(bytes));
      } else if (u.rfind("BODY[", 0) == 0 || u.rfind("BODY.PEEK[", 0) == 0 ||
                 u.rfind("BINARY[", 0) == 0 || u.rfind("BINARY.PEEK[", 0) == 0) {
        bool binary = u[1] == 'I';
        std::size_t open = u.find('['), close = u.rfind(']');
        if (close == std::string::npos || close < open) {
          c.out += tag + " BAD bad section\r\n";
          return true;
        }
        std::string section = u.substr(open + 1, close - open - 1);
        std::string bytes;
        if (section.empty()) {
          bytes = m.body;
        } else if (section == "HEADER") {
          bytes = header;
        } else if (section == "TEXT" || section == "1") {
          bytes = text;
        } else if (section.rfind("HEADER.FIELDS", 0) == 0) {
          bool invert = section.rfind("HEADER.FIELDS.NOT", 0) == 0;
          std::size_t lp = section.find('('), rp = section.rfind(')');
          std::vector<std::string> names;
          if (lp != std::string::npos && rp != std::string::npos && rp > lp) {
            std::string list = section.substr(lp + 1, rp - lp - 1);
            std::size_t q = 0;
            for (std::string nme = read_word(list, q); !nme.empty(); nme = read_word(list, q))
              names.push_back(nme);
          }
          bytes = header_fields(m.body, names, invert);
        }
        std::string name = std::string(binary ? "BINARY[" : "BODY[") + section + "]";
        std::string partial = u.substr(close + 1);
        if (partial.size() > 2 && partial[0] == '<') {
          std::size_t dot = partial.find('.');
          unsigned long long from = std::stoull(partial.substr(1));
          unsigned long long len = dot == std::string::npos ? bytes.size() : std::stoull(partial.substr(dot + 1));
          bytes = from < bytes.size() ? bytes.substr(from, len) : std::string();
          name += "<" + num(from) + ">";
        }
        if (section.empty() && short_literal) {
          fired_wrong_literal_ = true;
          ++faults_["wrong_literal_length_once"];
          parts.push_back(name + " {" + num(bytes.size()) + "}\r\n" + bytes.substr(0, bytes.size() - 7));
        } else {
          parts.push_back(name + " " + literal(bytes));
        }
      } else if (u == "MODSEQ" || u == "X-GM-MSGID" || u == "X-GM-THRID") {
        // Extensions this server does not offer: nothing to say.
      } else {
        note("unknown fetch item: " + it);
        c.out += tag + " BAD unknown fetch item " + it + "\r\n";
        return true;
      }
    }
    std::string rec = head;
    std::vector<std::string> ordered;
    // The UID goes first, unless the structure must come before it.
    if (!structure_part.empty()) ordered.push_back(structure_part);
    if (want_uid && structure_part.empty()) ordered.push_back(uid_word + num(m.uid));
    for (std::string &p : parts) ordered.push_back(std::move(p));
    if (want_uid && !structure_part.empty()) ordered.push_back(uid_word + num(m.uid));
    for (std::size_t p = 0; p < ordered.size(); ++p) rec += (p ? " " : "") + ordered[p];
    records.push_back(rec + ")\r\n");
    if (body_kind && q_.two_bodies_for_uid.count(m.uid) && fired_two_bodies_.insert(m.uid).second) {
      ++faults_["two_bodies_for_uid"];
      std::string other = "X-Other-Copy: " + num(m.uid) + "\r\n" + m.body;
      records.push_back(head + uid_word + num(m.uid) + " BODY[] " + literal(other) + ")\r\n");
    }
    if (q_.bye_after_n_records > 0 && !fired_bye_ && ++records_sent_ >= q_.bye_after_n_records) {
      fired_bye_ = true;
      ++faults_["bye_after_n_records"];
      bye = true;
    }
  }
  std::string done = tag + (throttled ? " OK Success [THROTTLED]\r\n" : " OK FETCH completed\r\n");
  if (uid && q_.ok_before_last_record && !bye && !records.empty()) ++faults_["ok_before_last_record"];
  if (q_.nul_before_records && !records.empty()) ++faults_["nul_before_records"];
  if (q_.lower_case_uid_item && !records.empty()) ++faults_["lower_case_uid_item"];
  if (throttled) ++faults_["throttled_ok_drops"];
  for (std::size_t r = 0; r < records.size(); ++r) {
    if (uid && q_.ok_before_last_record && !bye && r + 1 == records.size()) c.out += done;
    c.out += records[r];
  }
  if (bye) {
    c.out += "* BYE Server shutting down\r\n";
    return false;
  }
  if (!(uid && q_.ok_before_last_record && !records.empty())) c.out += done;
  return true;
}

}  // namespace kqtest
