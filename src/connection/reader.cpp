// Response reader: lines with their IMAP literals moved into a side buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/error.h>

#include "base/error.h"
#include "connection/imap.h"

namespace kq {

reader::reader() : buf(new char[k_line_cap]), line(new char[k_line_cap]) {}

reader::~reader() { release(); }

void reader::release_records() {
  for (int i = 0; i < count; ++i) {
    std::free(records[i]);
    records[i] = nullptr;
  }
  count = 0;
}

void reader::release() {
  release_records();
  std::free(lit);
  lit = nullptr;
  lit_len = lit_cap = 0;
  last_lit = nullptr;
  last_lit_len = 0;
}

int reader_need(reader *r) {
  while (r->pos >= r->len) {
    if (r->eof) return 0;
    if (r->pos > 0) {
      r->len -= r->pos;
      std::memmove(r->buf.get(), r->buf.get() + r->pos, r->len);
      r->pos = 0;
    }
    imap_conn *c = r->conn;
    std::size_t room = k_line_cap - r->len;
    long got;
    if (c->tls && c->connected) {
      int n;
      // A TLS 1.3 session ticket is not data: read again.
      do n = mbedtls_ssl_read(&c->ssl_ctx, reinterpret_cast<unsigned char *>(r->buf.get() + r->len), room);
      while (n == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET);
      if (n < 0) {
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) {
          r->eof = 1;
          return 0;
        }
        char text[160];
        mbedtls_strerror(n, text, sizeof text);
        dbg("KQ: TLS read failed: %s \xe2\x80\x94 marking dead\n", text);
        c->dead = 1;
        return 0;
      }
      got = n;
    } else {
      got = plat::sock_recv(c->sock, r->buf.get() + r->len, room);
      if (got < 0) {
        dbg("KQ: recv failed: %s\n", plat::error_text(plat::sock_last_error()));
        c->dead = 1;
        return 0;
      }
    }
    if (got == 0) {
      r->eof = 1;
      return 0;
    }
    r->len += static_cast<std::uint64_t>(got);
  }
  return 1;
}

namespace {

struct line_out {
  char *line;
  std::size_t n = 0;
  void put(char c) {
    if (n < k_line_cap - 1) line[n++] = c;
  }
  void put(const char *s) {
    while (*s) put(*s++);
  }
};

inline char take(reader *r) { return r->buf[r->pos++]; }

// After "{": either a literal (bytes into r->lit) or plain text into out.
// Returns -1 when the literal cannot be completed.
int read_literal(reader *r, line_out &out) {
  long long value = 0;
  int digits = 0;
  bool have_t = false;
  char t = 0;
  while (reader_need(r)) {
    char c = take(r);
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      if (++digits == 10) break;  // too long for a literal: plain text
      continue;
    }
    have_t = true;
    t = c;
    break;
  }
  if (digits == 10) {
    char num[32];
    std::snprintf(num, sizeof num, "{%lld", value);
    out.put(num);
    return 0;
  }
  bool is_lit = digits > 0 && have_t && t == '}' && value < (1LL << 31) && reader_need(r) &&
                r->buf[r->pos] == '\r';
  if (!is_lit) {
    out.put('{');
    if (digits > 0) {
      char num[32];
      std::snprintf(num, sizeof num, "%lld", value);
      out.put(num);
    }
    if (have_t) out.put(t);
    return 0;
  }
  take(r);                       // CR
  if (reader_need(r)) take(r);   // LF, not examined
  if (r->lit_len + value >= r->lit_cap) {
    long long cap = r->lit_len + value + 1;
    char *grown = static_cast<char *>(std::realloc(r->lit, static_cast<std::size_t>(cap)));
    if (!grown) return -1;
    r->lit = grown;
    r->lit_cap = cap;
  }
  long long copied = 0;
  while (copied < value) {
    if (!reader_need(r)) return -1;
    std::uint64_t avail = r->len - r->pos;
    std::uint64_t want = static_cast<std::uint64_t>(value - copied);
    std::uint64_t n = avail < want ? avail : want;
    std::memcpy(r->lit + r->lit_len + copied, r->buf.get() + r->pos, n);
    r->pos += n;
    copied += static_cast<long long>(n);
  }
  r->lit_len += value;
  r->lit[r->lit_len] = '\0';
  return 0;
}

}  // namespace

int reader_read_record(reader *r, char *line) {
  r->lit_len = 0;
  line_out out{line};
  for (;;) {
    if (!reader_need(r)) {
      if (out.n == 0) return -1;
      break;
    }
    char c = take(r);
    if (c == '{') {
      if (read_literal(r, out) != 0) return -1;
      continue;
    }
    if (c == '\r') {
      if (!reader_need(r)) break;
      char d = take(r);
      if (d != '\n') out.put(d);
      break;
    }
    if (c == '\n') break;
    out.put(c);
  }
  line[out.n] = '\0';
  return 0;
}

}  // namespace kq
