// Tagged commands, login and mailbox selection. Every command line goes
// through cmd_exec2, and every mailbox name through imap_quote.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mbedtls/base64.h>

#include "base/error.h"
#include "connection/imap.h"

namespace kq {

namespace {
int s_tag_n = 0;
char s_tag[16] = "KQ0000";
std::string s_selected;
std::atomic<std::uint64_t> s_cmd_sent{0};

bool send_all(imap_conn *c, const char *data, std::size_t n) {
  if (c->tls && c->connected) {
    int w = mbedtls_ssl_write(&c->ssl_ctx, reinterpret_cast<const unsigned char *>(data), n);
    if (w < 0) {
      c->dead = 1;
      return false;
    }
    return static_cast<std::size_t>(w) == n;
  }
  std::size_t sent = 0;
  while (sent < n) {
    long w = plat::sock_send(c->sock, data + sent, n - sent);
    if (w <= 0) return false;
    sent += static_cast<std::size_t>(w);
  }
  return true;
}

void store_record(reader *r, const char *line) {
  if (r->count > k_max_records - 1) return;
  char *copy = strdup(line);
  if (copy) r->records[r->count++] = copy;
}
}  // namespace

std::uint64_t cmd_sent_total() { return s_cmd_sent.load(std::memory_order_relaxed); }

void selected_mailbox_clear() { s_selected.clear(); }
const std::string &selected_mailbox() { return s_selected; }

int cmd_exec2(reader *r, const char *command) {
  imap_conn *c = r->conn;
  if (c->dead) {
    set_err("connection lost");
    return -1;
  }
  std::size_t clen = std::strlen(command);
  std::unique_ptr<char[]> out(new (std::nothrow) char[clen + 16]);
  if (!out) return -1;
  s_tag_n = (s_tag_n + 1) % 10000;
  std::snprintf(s_tag, sizeof s_tag, "KQ%04d", s_tag_n);
  int n = std::snprintf(out.get(), clen + 16, "%s %s\r\n", s_tag, command);
  std::memcpy(r->tag, s_tag, 7);
  r->release_records();
  r->done = r->status = 0;
  r->last_lit = nullptr;
  r->last_lit_len = 0;
  if (!send_all(c, out.get(), static_cast<std::size_t>(n))) {
    set_err("send failed: %s", plat::error_text(plat::sock_last_error()));
    return -1;
  }
  s_cmd_sent.fetch_add(1, std::memory_order_relaxed);
  out.reset();

  // A rejected SASL exchange waits for our answer to its "+" challenge; an
  // empty line ends the exchange so the server's NO arrives at once.
  bool sasl = std::strncmp(command, "AUTHENTICATE ", 13) == 0;
  char *line = r->line.get();
  for (;;) {
    if (reader_read_record(r, line) != 0) {
      set_err("connection closed by server");
      return -1;
    }
    if (r->lit_len > 0) {
      r->last_lit = r->lit;
      r->last_lit_len = r->lit_len;
    }
    if (std::strncmp(line, r->tag, 6) == 0 && line[6] == ' ') {
      int status = 0;
      if (line[7] == 'N' && line[8] == 'O') {
        status = 1;
        store_record(r, line);
      } else if (line[7] == 'B' && line[8] == 'A' && line[9] == 'D') {
        status = 2;
      }
      r->done = 1;
      r->status = status;
      return status;
    }
    if (r->on_record) r->on_record(r->on_record_ctx, line, r->lit, r->lit_len);
    store_record(r, line);
    if (sasl && line[0] == '+' && !send_all(c, "\r\n", 2)) {
      set_err("send failed: %s", plat::error_text(plat::sock_last_error()));
      return -1;
    }
  }
}

int cmd_exec(reader *r, const char *fmt, ...) {
  char small[8192];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n < 0) {
    set_err("oom");
    return -1;
  }
  if (static_cast<std::size_t>(n) < sizeof small) return cmd_exec2(r, small);
  std::unique_ptr<char[]> big(new (std::nothrow) char[static_cast<std::size_t>(n) + 1]);
  if (!big) {
    set_err("oom");
    return -1;
  }
  va_start(ap, fmt);
  std::vsnprintf(big.get(), static_cast<std::size_t>(n) + 1, fmt, ap);
  va_end(ap);
  return cmd_exec2(r, big.get());
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

int imap_select(reader *r, const char *mailbox, long long *exists, unsigned long long *uidnext) {
  std::string q;
  if (!imap_quote(mailbox, q)) return -1;
  r->release_records();
  if (cmd_exec(r, "EXAMINE %s", q.c_str()) != 0) {
    r->release_records();
    if (cmd_exec(r, "SELECT %s", q.c_str()) != 0) {
      set_err("cannot open mailbox %s", mailbox);
      s_selected.clear();
      return -1;
    }
  }
  s_selected = mailbox;
  if (exists) *exists = 0;
  if (uidnext) *uidnext = 0;
  bool have_exists = false;
  for (int i = 0; i < r->count; ++i) {
    long long n;
    char word[16];
    if (!have_exists && std::sscanf(r->records[i], "* %lld %15s", &n, word) == 2 &&
        std::strcmp(word, "EXISTS") == 0) {
      if (exists) *exists = n;
      have_exists = true;
    }
    if (uidnext) {
      const char *p = std::strstr(r->records[i], "[UIDNEXT ");
      if (p && *uidnext == 0) *uidnext = std::strtoull(p + 9, nullptr, 10);
    }
  }
  return 0;
}

int imap_login(reader *r) {
  if (cmd_exec(r, "CAPABILITY") != 0) {
    set_err("CAPABILITY failed");
    return -1;
  }
  r->release_records();
  int rc = -1;
  if (s_cfg.oauth_token[0]) {
    char raw[1536];
    std::snprintf(raw, sizeof raw, "user=%s\x01" "auth=Bearer %s\x01\x01", s_cfg.user, s_cfg.oauth_token);
    unsigned char enc[2047];
    std::size_t olen = 0;
    if (mbedtls_base64_encode(enc, sizeof enc, &olen, reinterpret_cast<const unsigned char *>(raw),
                              std::strlen(raw)) != 0) {
      set_err("base64 encode failed");
      return -1;
    }
    const char *e = reinterpret_cast<const char *>(enc);
    rc = cmd_exec(r, "AUTHENTICATE XOAUTH2 %s", e);
    r->release_records();
    if (rc == 1) {
      rc = cmd_exec(r, "%s", e);
      r->release_records();
    }
  }
  if (rc != 0 && s_cfg.pass[0]) {
    std::string u, p;
    for (const char *s = s_cfg.user; *s; ++s) {
      if (*s == '"' || *s == '\\') u += '\\';
      u += *s;
    }
    for (const char *s = s_cfg.pass; *s; ++s) {
      if (*s == '"' || *s == '\\') p += '\\';
      p += *s;
    }
    rc = cmd_exec(r, "LOGIN \"%s\" \"%s\"", u.c_str(), p.c_str());
    r->release_records();
  }
  if (rc != 0) {
    set_err("IMAP authentication failed (bad credentials or provider rejected mechanism)");
    return -1;
  }
  return 0;
}

}  // namespace kq
