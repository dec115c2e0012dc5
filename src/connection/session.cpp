#include "connection/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <mbedtls/base64.h>
#include <mbedtls/platform_util.h>
#include <yyjson.h>

#include "base/error.h"
#include "base/mutf7.h"
#include "base/strcase.h"
#include "base/text.h"
#include "connection/fetch_data.h"
#include "platform/platform.h"

namespace kq {

namespace {

constexpr std::size_t k_inbuf = 256 * 1024;
constexpr const char *k_greeting_tag = "*greeting*";

void wipe(std::string &s) {
  if (!s.empty()) mbedtls_platform_zeroize(s.data(), s.size());
  s.clear();
  s.shrink_to_fit();
}

// "ssl" and "tls_verify" take a number or JSON true/false; anything else is
// a mistake that must not silently turn encryption or verification off.
bool read_flag(yyjson_val *root, const char *key, int def, int &out) {
  yyjson_val *v = json_key(root, key);
  if (!v) {
    out = def;
    return true;
  }
  if (yyjson_is_bool(v)) {
    out = yyjson_get_bool(v) ? 1 : 0;
    return true;
  }
  if (!yyjson_is_num(v)) {
    set_err("invalid config: %s must be a number or true/false", key);
    return false;
  }
  out = json_int(root, key, def);
  return true;
}

}  // namespace

void conn_config::wipe_secrets() {
  wipe(pass);
  wipe(oauth_token);
}

bool conn_config_parse(const char *json, conn_config &c) {
  c = conn_config{};
  if (!json || !*json) {
    set_err("empty config");
    return false;
  }
  json_doc doc;
  if (!doc.parse(json, std::strlen(json))) {
    set_err("invalid config JSON");
    return false;
  }
  yyjson_val *root = doc.root();
  // A value that is not a string counts as no text at all; texts are cut
  // where the old fixed fields cut them.
  auto text = [&](const char *key, std::string &dst, std::size_t cap) {
    if (const char *v = json_str(root, key)) dst.assign(v, strnlen(v, cap - 1));
  };
  text("host", c.host, 256);
  text("user", c.user, 256);
  text("pass", c.pass, 512);
  text("oauth_token", c.oauth_token, 512);
  text("ca_file", c.ca_file, 512);
  c.port = json_int(root, "port", 993);
  if (!read_flag(root, "ssl", 1, c.ssl) || !read_flag(root, "tls_verify", 1, c.tls_verify) ||
      !read_flag(root, "compress", 1, c.compress))
    return false;
  c.timeout_s = json_int(root, "timeout_s", 30);
  // Without "timeout_s" a command may wait as long as it always could.
  c.read_timeout_s = json_key(root, "timeout_s") && c.timeout_s > 0 ? c.timeout_s : 120;
  if (c.host.empty()) {
    set_err("config missing host");
    return false;
  }
  if (c.user.empty()) {
    set_err("config missing user");
    return false;
  }
  if (!c.pass.empty() && !c.oauth_token.empty()) {
    set_err("use either pass or oauth_token");
    return false;
  }
  if (c.ssl < 0 || c.ssl > 2) {
    set_err("invalid config: ssl must be 0, 1 or 2");
    return false;
  }
  if (json_key(root, "max_message_bytes")) {
    c.max_message_bytes = json_num(root, "max_message_bytes", 0);
    if (c.max_message_bytes < 1024) {
      set_err("invalid config: max_message_bytes must be a number of at least 1024");
      return false;
    }
  }
  return true;
}

bool imap_quote(std::string_view s, std::string &out) {
  out.clear();
  for (char c : s) {
    if (c == '\r' || c == '\n' || c == '\0') {
      set_err("invalid mailbox name");
      return false;
    }
  }
  out.reserve(s.size() + 2);
  out += '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return true;
}

std::string session::next_tag() {
  char t[24];
  std::snprintf(t, sizeof t, "KQ%04llu", static_cast<unsigned long long>(++tag_n_));
  return t;
}

void session::trace(char dir, const std::string &line, bool secret) const {
  if (!trace_) return;
  if (secret) {
    // Tag and command word only: the rest carries credentials.
    std::size_t sp = line.find(' ');
    sp = sp == std::string::npos ? line.size() : line.find(' ', sp + 1);
    std::fprintf(stderr, "%c: %s [redacted]\n", dir, line.substr(0, sp).c_str());
    return;
  }
  std::fprintf(stderr, "%c: %.*s\n", dir, static_cast<int>(line.size() < 2000 ? line.size() : 2000),
               line.c_str());
}

int session::status() const {
  if (!tx_.is_open() || tx_.lost()) return 0;
  return authed_ ? 2 : 1;
}

bool session::usable() {
  if (status() != 2) {
    set_err("not connected");
    return false;
  }
  return true;
}

bool session::has_capability(const char *cap) const {
  for (const std::string &c : caps_)
    if (ascii_ieq(c, cap)) return true;
  return false;
}

session::~session() {
  cfg_.wipe_secrets();
  wipe(out_);
}

void session::close() {
  fail_all("connection closed");
  have_cfg_ = false;
  drop_stream();
  cfg_.wipe_secrets();
}

void session::drop_stream() {
  tx_.close();
  authed_ = 0;
  selected_.clear();
  mbox_ = {};
  caps_.clear();
  parser_.reset();
  in_pos_ = in_len_ = 0;
  wipe(out_);
  stop_seen_at_ = 0;
}

void session::disconnect() {
  if (tx_.is_open() && !tx_.lost()) {
    // A short wait: a server that does not answer LOGOUT is closed anyway.
    int keep = answer_ms_;
    answer_ms_ = 5000;
    exec("LOGOUT");
    answer_ms_ = keep;
  }
  close();
}

void session::lose(const std::string &reason) {
  tx_.mark_lost(reason);
  fail_all(reason);
}

void session::fail_all(const std::string &reason) {
  // Completion handlers may submit more; take the lists first.
  std::deque<in_flight> flying;
  flying.swap(in_flight_);
  std::deque<command> queued;
  queued.swap(waiting_);
  if (!reason.empty() && (!flying.empty() || !queued.empty())) set_err("%s", reason.c_str());
  for (in_flight &f : flying)
    if (f.cmd.on_done) f.cmd.on_done(-1, reason);
  for (command &c : queued)
    if (c.on_done) c.on_done(-1, reason);
}

void session::submit(command c) { waiting_.push_back(std::move(c)); }

session::stop_scope::stop_scope(session &s, std::function<bool()> stop) : s_(s) {
  s_.stops_.push_back(std::move(stop));
}

session::stop_scope::~stop_scope() {
  s_.stops_.pop_back();
  if (s_.stops_.empty()) s_.stop_seen_at_ = 0;
}

bool session::stop_requested() const {
  for (const std::function<bool()> &stop : stops_)
    if (stop && stop()) return true;
  return false;
}

void session::refuse_waiting() {
  // Handlers may submit more; those are refused too.
  while (!waiting_.empty()) {
    std::deque<command> queued;
    queued.swap(waiting_);
    set_err("cancelled");
    for (command &c : queued)
      if (c.on_done) c.on_done(-1, "cancelled");
  }
}

void session::cut_off() {
  const char *why = "cancelled with answers still on the way";
  tx_.mark_lost(why);
  fail_all(why);
  // Closed for real: the server stops sending into a socket nobody reads.
  // What a later call meets is "not connected".
  drop_stream();
}

bool session::send_pending() {
  // Move waiting commands into flight while the window allows.
  while (!waiting_.empty() && in_flight_.size() < window_) {
    in_flight f;
    f.cmd = std::move(waiting_.front());
    waiting_.pop_front();
    f.tag = next_tag();
    f.started = plat::tick_ms();
    // Silence is counted from here when nothing was awaited before.
    if (in_flight_.empty()) heard_at_ = f.started;
    std::string line = f.tag + " " + f.cmd.line;
    trace('C', line, f.cmd.secret);
    out_ += line;
    out_ += "\r\n";
    if (f.cmd.secret) wipe(line);
    ++sent_total_;
    in_flight_.push_back(std::move(f));
    if (in_flight_.size() > most_in_flight_) most_in_flight_ = in_flight_.size();
  }
  while (!out_.empty()) {
    long w = tx_.send_some(out_.data(), out_.size());
    if (w < 0) {
      lose(tx_.lost_reason());
      return false;
    }
    if (w == 0) break;
    // Secrets leave the buffer as soon as they are on the wire.
    mbedtls_platform_zeroize(out_.data(), static_cast<std::size_t>(w));
    out_.erase(0, static_cast<std::size_t>(w));
  }
  return true;
}

namespace {

// What an untagged record says about the selected mailbox; true when it
// was a numbered record (EXISTS, EXPUNGE, FETCH, ...).
bool read_mailbox_state(const std::string &l, mailbox_state &st) {
  long long n = 0;
  std::string word;
  if (numbered_record(l, n, word)) {
    if (word == "EXISTS") st.exists = n;
    else if (word == "EXPUNGE" && st.exists > 0) --st.exists;
    return true;
  }
  auto code_value = [&](const char *code, unsigned long long &dst) {
    std::size_t p = l.find(code);
    if (p != std::string::npos) dst = std::strtoull(l.c_str() + p + std::strlen(code), nullptr, 10);
  };
  if (ascii_istarts(l, "* OK [")) {
    code_value("[UIDNEXT ", st.uidnext);
    code_value("[UIDVALIDITY ", st.uidvalidity);
  }
  return false;
}

}  // namespace

void session::note_untagged(const response &r) {
  if (read_mailbox_state(r.line, mbox_)) return;
  const std::string &l = r.line;
  // A load hint said unasked; the latest one stays until read.
  std::string_view rest = std::string_view(l).substr(2);
  for (std::string_view w : {"OK", "NO", "BAD", "BYE"}) {
    if (!ascii_istarts(rest, w) || (rest.size() > w.size() && rest[w.size()] != ' ')) continue;
    throttle_hint h = read_throttle(rest);
    if (h.any()) throttle_ = h;
    break;
  }
  if (ascii_istarts(l, "* CAPABILITY ")) read_caps(l, 13);
  else if (ascii_istarts(l, "* OK [CAPABILITY ")) read_caps(l, 17);
}

void session::read_caps(const std::string &l, std::size_t from) {
  caps_.clear();
  std::size_t i = from;
  while (i < l.size() && l[i] != ']') {
    std::size_t j = i;
    while (j < l.size() && l[j] != ' ' && l[j] != ']') ++j;
    if (j > i) caps_.emplace_back(l, i, j - i);
    i = j < l.size() && l[j] == ' ' ? j + 1 : j;
  }
}

void session::dispatch(response &r) {
  const std::string &l = r.line;
  if (trace_) {
    std::string shown = l;
    if (!r.literals.empty()) shown += " [" + decimal(r.literals.size()) + " literal(s)]";
    trace('S', shown, false);
  }
  if (!l.empty() && l[0] == '+') {
    // A continuation belongs to the oldest command (only one command that
    // takes part in a dialogue is ever sent at a time).
    std::string answer;
    if (!in_flight_.empty() && in_flight_.front().cmd.on_continue)
      answer = in_flight_.front().cmd.on_continue(l.size() > 2 ? l.substr(2) : std::string());
    trace('C', answer, true);
    out_ += answer;
    out_ += "\r\n";
    wipe(answer);
    return;
  }
  if (l.size() > 1 && l[0] == '*') {
    in_flight *to = nullptr;
    std::uint32_t uid = 0;
    fetch_walk w = walk_fetch(r, uid);
    if (w == fetch_walk::malformed) {
      // Whatever it held cannot be told apart from what follows it.
      lose("protocol error: a FETCH response that does not parse");
      return;
    }
    note_untagged(r);
    if (w == fetch_walk::ok) {
      // By the UID item: the command whose range holds it; else the oldest
      // that claimed no range.
      if (uid != 0)
        for (in_flight &f : in_flight_) {
          if (f.cmd.uid_hi == 0) continue;
          if (uid >= f.cmd.uid_lo && uid <= f.cmd.uid_hi) {
            to = &f;
            break;
          }
        }
      if (!to)
        for (in_flight &f : in_flight_)
          if (f.cmd.uid_hi == 0) {
            to = &f;
            break;
          }
      // Data nobody asked for goes to the oldest command, which can tell a
      // stray answer from a missing one.
      if (!to && !in_flight_.empty()) to = &in_flight_.front();
    } else if (!in_flight_.empty()) {
      to = &in_flight_.front();
    }
    if (to && to->cmd.on_data) to->cmd.on_data(r);
    return;
  }
  // Tagged completion.
  std::size_t sp = l.find(' ');
  std::string tag = l.substr(0, sp);
  for (auto it = in_flight_.begin(); it != in_flight_.end(); ++it) {
    if (it->tag != tag) continue;
    std::string rest = sp == std::string::npos ? std::string() : l.substr(sp + 1);
    int status = 2;
    std::size_t skip = 0;
    if (ascii_istarts(rest, "OK")) status = 0, skip = 2;
    else if (ascii_istarts(rest, "NO")) status = 1, skip = 2;
    else if (ascii_istarts(rest, "BAD")) status = 2, skip = 3;
    while (skip < rest.size() && rest[skip] == ' ') ++skip;
    command c = std::move(it->cmd);
    in_flight_.erase(it);
    if (c.on_done) c.on_done(status, rest.substr(skip < rest.size() ? skip : rest.size()));
    return;
  }
  // A completion for no command of ours: nothing to do with it, unless we
  // wait for the greeting, which must then be refused.
  if (!in_flight_.empty() && in_flight_.front().tag == k_greeting_tag && in_flight_.front().cmd.on_data)
    in_flight_.front().cmd.on_data(r);
}

bool session::pump() {
  if (tx_.lost()) {
    fail_all(tx_.lost_reason());
    return false;
  }
  if (!tx_.is_open()) {
    // Closed under a stop (or never opened): nothing can go out.
    fail_all("not connected");
    return false;
  }
  bool stopping = !stops_.empty() && stop_requested();
  if (stopping) refuse_waiting();
  else stop_seen_at_ = 0;
  if (!send_pending()) return false;
  // Answers already read come first.
  while (in_pos_ < in_len_) {
    in_pos_ += parser_.feed(inbuf_.data() + in_pos_, in_len_ - in_pos_);
    if (!parser_.error().empty()) {
      lose(parser_.error());
      return false;
    }
    if (parser_.ready()) {
      response &r = parser_.take();
      dispatch(r);
      // A response that breaks the protocol loses the connection there.
      return !tx_.lost();
    }
  }
  in_pos_ = in_len_ = 0;
  if (in_flight_.empty() && waiting_.empty() && out_.empty()) return true;
  // The deadline bounds silence, not the whole answer: every byte received
  // starts the clock again, and silence counts only while something is
  // awaited. The wait below never outlasts what is left of it.
  std::uint64_t now = plat::tick_ms();
  if (in_flight_.empty() || heard_at_ > now) heard_at_ = now;
  std::uint64_t limit = static_cast<std::uint64_t>(answer_ms_ > 0 ? answer_ms_ : 0);
  std::uint64_t quiet = now - heard_at_;
  if (quiet >= limit) {
    char text[96];
    std::snprintf(text, sizeof text, "server did not answer within %d s", (answer_ms_ + 999) / 1000);
    lose(text);
    return false;
  }
  std::uint64_t wait_ms = limit - quiet;
  if (!stops_.empty()) {
    // Short slices, so a stop is seen within one however quiet the server.
    wait_ms = std::min<std::uint64_t>(wait_ms, k_stop_poll_ms);
    if (stopping && !in_flight_.empty()) {
      if (stop_seen_at_ == 0) stop_seen_at_ = now;
      std::uint64_t spent = now - stop_seen_at_;
      if (spent >= static_cast<std::uint64_t>(k_stop_grace_ms)) {
        cut_off();
        return false;
      }
      wait_ms = std::min<std::uint64_t>(wait_ms, k_stop_grace_ms - spent);
    }
  }
  int ready = tx_.wait(!out_.empty(), static_cast<int>(wait_ms));
  if (ready < 0) {
    lose(std::string("connection failed: ") + plat::error_text(plat::sock_last_error()));
    return false;
  }
  if (ready & plat::sock_writable) {
    if (!send_pending()) return false;
  }
  if (ready & plat::sock_readable) {
    if (inbuf_.empty()) inbuf_.resize(k_inbuf);
    std::uint64_t raw_before = tx_.bytes_in();
    long got = tx_.recv_some(inbuf_.data(), inbuf_.size());
    if (got < 0) {
      lose(tx_.lost_reason());
      return false;
    }
    in_pos_ = 0;
    in_len_ = static_cast<std::size_t>(got);
    // Part of a TLS record is no silence either, though nothing comes out yet.
    if (got > 0 || tx_.bytes_in() != raw_before) heard_at_ = plat::tick_ms();
  }
  return true;
}

bool session::run_until_at_most(std::size_t n) {
  while (outstanding() > n || !out_.empty()) {
    if (!pump()) return false;
    if (outstanding() <= n && out_.empty()) break;
  }
  return !tx_.lost();
}

bool session::drain() { return run_until_at_most(0); }

int session::exec(const std::string &line, command_reply *out) {
  if (tx_.lost() || !tx_.is_open()) {
    set_err("%s", tx_.lost() ? tx_.lost_reason().c_str() : "not connected");
    if (out) out->status = -1;
    return -1;
  }
  int status = -1;
  command c;
  c.line = line;
  if (out) {
    out->data.clear();
    out->text.clear();
    c.on_data = [out](response &r) { out->data.push_back(std::move(r)); };
  }
  c.on_done = [&status, out](int s, const std::string &text) {
    status = s;
    if (out) {
      out->status = s;
      out->text = text;
    }
  };
  submit(std::move(c));
  drain();
  return status;
}

int session::select(const std::string &mailbox, mailbox_state *out) {
  std::string q;
  // A UTF-8 name goes out in modified UTF-7, as the server lists it.
  if (!imap_quote(folder_wire_name(mailbox), q)) return -1;
  mbox_ = {};
  int rc = exec("EXAMINE " + q);
  // The refusal's text: why the server will not open it (no such folder, no
  // right to read it, ...), which the caller has no other way to learn.
  command_reply refused;
  if (rc > 0) {
    mbox_ = {};
    rc = exec("SELECT " + q, &refused);
  }
  if (rc != 0) {
    selected_.clear();
    // A refusal leaves the session logged in; a lost connection does not.
    if (rc < 0) set_err("cannot open mailbox %s: %s", mailbox.c_str(), last_error());
    else set_err("cannot open mailbox %s: %s", mailbox.c_str(), refused.text.c_str());
    return -1;
  }
  selected_ = mailbox;
  if (out) *out = mbox_;
  return 0;
}

bool session::submit_examine(const std::string &mailbox, opened_fn done) {
  std::string q;
  if (!imap_quote(folder_wire_name(mailbox), q)) return false;
  // Until it completes nothing is known to be selected.
  selected_.clear();
  auto st = std::make_shared<mailbox_state>();
  command c;
  c.line = "EXAMINE " + q;
  c.on_data = [st](response &r) { read_mailbox_state(r.line, *st); };
  c.on_done = [this, st, mailbox, done = std::move(done)](int status, const std::string &) {
    // A failed EXAMINE leaves no mailbox selected.
    if (status == 0) {
      selected_ = mailbox;
      mbox_ = *st;
    } else {
      selected_.clear();
    }
    if (done) done(status, *st);
  };
  submit(std::move(c));
  return true;
}

int session::open(const std::string &mailbox, mailbox_state *out) {
  if (selected_.empty() || selected_ != mailbox || status() != 2) return select(mailbox, out);
  if (out) *out = mbox_;
  return 0;
}

int session::login() {
  if (caps_.empty() && exec("CAPABILITY") != 0) {
    if (tx_.lost()) set_err("%s", tx_.lost_reason().c_str());
    else set_err("CAPABILITY failed");
    return -1;
  }
  // A server that says so gets no credentials at all: a password, and just
  // as much a bearer token, would cross the wire readable by anyone on the
  // path. A server behind TLS has no reason to say it; if one does anyway,
  // it would refuse the login, so nothing is lost by not sending it.
  if (has_capability("LOGINDISABLED")) {
    set_err("the server refuses plain-text login (LOGINDISABLED): connect with TLS (ssl 1) or STARTTLS (ssl 2)");
    return -1;
  }
  int rc = -1;
  std::string server_text;
  if (!cfg_.oauth_token.empty()) {
    std::string raw = "user=" + cfg_.user + "\x01" "auth=Bearer " + cfg_.oauth_token + "\x01\x01";
    std::string enc(((raw.size() + 2) / 3) * 4 + 4, '\0');
    std::size_t olen = 0;
    int e = mbedtls_base64_encode(reinterpret_cast<unsigned char *>(enc.data()), enc.size(), &olen,
                                  reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
    wipe(raw);
    if (e != 0) {
      set_err("base64 encode failed");
      return -1;
    }
    enc.resize(olen);
    command c;
    c.secret = true;
    bool sasl_ir = has_capability("SASL-IR");
    c.line = sasl_ir ? "AUTHENTICATE XOAUTH2 " + enc : "AUTHENTICATE XOAUTH2";
    // Without SASL-IR the token answers the first challenge; a rejected
    // token draws an error challenge, which an empty line ends so the
    // server's NO arrives at once.
    bool sent_token = sasl_ir;
    c.on_continue = [&](const std::string &) {
      if (sent_token) return std::string();
      sent_token = true;
      return enc;
    };
    c.on_done = [&](int s, const std::string &t) {
      rc = s;
      server_text = t;
    };
    submit(std::move(c));
    drain();
    wipe(enc);
  }
  if (rc != 0 && !cfg_.pass.empty()) {
    std::string u, p;
    imap_quote(cfg_.user, u);
    imap_quote(cfg_.pass, p);
    command c;
    c.secret = true;
    c.line = "LOGIN " + u + " " + p;
    wipe(p);
    c.on_done = [&](int s, const std::string &t) {
      rc = s;
      server_text = t;
    };
    submit(std::move(c));
    drain();
  }
  // The secrets stay in cfg_ for reconnect(); close() wipes them.
  // The login's completion may list what the server offers once logged in
  // (extensions it hides before); an untagged CAPABILITY did the same.
  if (rc == 0 && ascii_istarts(server_text, "[CAPABILITY ")) read_caps(server_text, 12);
  if (rc != 0) {
    if (tx_.lost()) {
      set_err("IMAP authentication failed: %s", tx_.lost_reason().c_str());
    } else if (!server_text.empty()) {
      set_err("IMAP authentication failed: %s", server_text.c_str());
    } else {
      set_err("IMAP authentication failed (bad credentials or provider rejected mechanism)");
    }
    return -1;
  }
  // Capabilities may change after login; ask again only when needed.
  return 0;
}

int session::connect(const conn_config &cfg) {
  close();
  cfg_ = cfg;
  have_cfg_ = true;
  throttle_ = {};
  trace_ = false;
  if (const char *d = plat::env_get("KQ_DEBUG")) trace_ = std::strstr(d, "imap") != nullptr;
  answer_ms_ = cfg_.read_timeout_s * 1000;
  parser_.set_max_bytes(cfg_.max_message_bytes);
  if (!tx_.open(cfg_.host.c_str(), cfg_.port, cfg_.timeout_s)) {
    cfg_.wipe_secrets();
    have_cfg_ = false;
    return -1;
  }
  auto fail = [&]() {
    close();
    return -1;
  };
  if (cfg_.ssl == 1 &&
      !tx_.start_tls(cfg_.host.c_str(), cfg_.ca_file.c_str(), cfg_.tls_verify != 0, answer_ms_))
    return fail();
  // The greeting: the first response, untagged.
  {
    bool got = false;
    std::string greeting;
    while (!got) {
      if (tx_.lost()) break;
      // Wait as for a command's answer.
      command c;
      in_flight f;  // a placeholder so the deadline applies to the greeting
      f.tag = k_greeting_tag;
      f.cmd.on_data = [&](response &r) {
        greeting = r.line;
        got = true;
      };
      in_flight_.push_back(std::move(f));
      heard_at_ = plat::tick_ms();
      while (!got && pump()) {
      }
      in_flight_.clear();
      break;
    }
    if (!got) {
      std::string why = tx_.lost_reason();
      if (tx_.heard_tls()) set_err("%s", why.c_str());
      else if (why.empty() || why == "connection closed by server") set_err("no greeting from server");
      // Not a byte in all that time: most likely a TLS port, whose server
      // waits for the client to begin.
      else if (tx_.bytes_in() == 0)
        set_err("no greeting from server: %s (if the port expects TLS, use ssl 1)", why.c_str());
      else set_err("no greeting from server: %s", why.c_str());
      return fail();
    }
    if (greeting.size() < 2 || greeting[0] != '*') {
      set_err("unexpected greeting: %.80s", greeting.c_str());
      return fail();
    }
    if (ascii_istarts(greeting, "* PREAUTH")) authed_ = 1;
  }
  if (cfg_.ssl == 2) {
    if (exec("CAPABILITY") != 0) {
      set_err("CAPABILITY failed");
      return fail();
    }
    // Never log in over plain text to a server that was asked for TLS.
    if (!has_capability("STARTTLS")) {
      set_err("server does not offer STARTTLS; not logging in without encryption");
      return fail();
    }
    if (exec("STARTTLS") != 0) {
      set_err("STARTTLS refused by server");
      return fail();
    }
    // Anything the server said before the handshake is forgotten.
    caps_.clear();
    parser_.reset();
    in_pos_ = in_len_ = 0;
    if (!tx_.start_tls(cfg_.host.c_str(), cfg_.ca_file.c_str(), cfg_.tls_verify != 0, answer_ms_))
      return fail();
  }
  if (!authed_ && login() != 0) return fail();
  if (cfg_.compress != 0 && has_capability("COMPRESS=DEFLATE") && start_compress() != 0) return fail();
  authed_ = 1;
  return 0;
}

int session::reconnect() {
  if (!have_cfg_) {
    set_err("not connected");
    return -1;
  }
  // Connecting again is no way to stop.
  if (stop_requested()) {
    set_err("cancelled");
    return -1;
  }
  conn_config again = cfg_;
  int rc = connect(again);
  if (rc == 0) {
    ++reconnects_;
  } else {
    // Kept for another try; close() or disconnect() wipe it.
    cfg_ = again;
    have_cfg_ = true;
  }
  again.wipe_secrets();
  return rc;
}

}  // namespace kq
