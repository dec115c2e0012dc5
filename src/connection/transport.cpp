#include "connection/transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/ssl.h>
#include <mbedtls/version.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include "base/error.h"
#include "connection/compress.h"

static_assert(MBEDTLS_VERSION_NUMBER >= 0x03060000 && MBEDTLS_VERSION_NUMBER < 0x03070000,
              "Mbed TLS 3.6 is required");

namespace kq {

struct tls_state {
  mbedtls_ssl_context ssl;
  mbedtls_ssl_config conf;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_x509_crt ca;
  plat::sock_t sock = plat::bad_sock;
  std::uint64_t raw_in = 0;  // encrypted bytes read off the socket
  std::string first;         // the first bytes the server sent, to tell a plain greeting
  tls_state() {
    mbedtls_ssl_init(&ssl);
    mbedtls_ssl_config_init(&conf);
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    mbedtls_x509_crt_init(&ca);
  }
  ~tls_state() {
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_ctr_drbg_free(&drbg);
    mbedtls_entropy_free(&entropy);
    mbedtls_x509_crt_free(&ca);
  }
};

namespace {

// PEM (NUL-terminated) or DER; true when at least one certificate was taken.
bool add_ca(void *chain, const unsigned char *data, std::size_t len) {
  return mbedtls_x509_crt_parse(static_cast<mbedtls_x509_crt *>(chain), data, len) >= 0;
}

// Reads ca_file through the platform layer, which takes UTF-8 paths on
// every system (Mbed TLS's own file reader would not on Windows). A named
// file that gives no certificate is a mistake to report, never a reason to
// fall back on the system's bundle: the connection would then trust what
// the user meant to narrow down, or fail with a certificate error that
// hides the real cause.
bool load_ca_file(mbedtls_x509_crt *chain, const char *path) {
  std::FILE *f = plat::file_open(path, "rb");
  if (!f) {
    set_err("cannot read ca_file %s: %s", path, plat::error_text(plat::last_errno()));
    return false;
  }
  std::string bytes;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  int err = std::ferror(f) ? plat::last_errno() : 0;
  std::fclose(f);
  if (err != 0) {
    set_err("cannot read ca_file %s: %s", path, plat::error_text(err));
    return false;
  }
  // PEM needs the terminating NUL counted; DER must not have it.
  bool pem = bytes.find("-----BEGIN") != std::string::npos;
  if (bytes.empty() ||
      !add_ca(chain, reinterpret_cast<const unsigned char *>(bytes.c_str()), bytes.size() + (pem ? 1 : 0))) {
    set_err("ca_file %s holds no certificate (PEM or DER)", path);
    return false;
  }
  return true;
}

// The first bytes of an IMAP greeting ("* OK", "* PREAUTH", "* BYE") where
// a TLS record was expected: the port speaks plain IMAP.
bool plain_greeting(const std::string &first) { return first.size() >= 2 && first[0] == '*' && first[1] == ' '; }

// The greeting's first line, cut and with control bytes made '?', to quote.
std::string quoted_line(const std::string &first) {
  std::string line = first.substr(0, first.find_first_of("\r\n"));
  if (line.size() > 40) line = line.substr(0, 40) + "...";
  for (char &c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

int bio_recv(void *ctx, unsigned char *buf, std::size_t len) {
  auto *t = static_cast<tls_state *>(ctx);
  long r = plat::sock_recv(t->sock, buf, len);
  if (r > 0) {
    t->raw_in += static_cast<std::uint64_t>(r);
    if (t->first.size() < 64)
      t->first.append(reinterpret_cast<const char *>(buf),
                      std::min<std::size_t>(static_cast<std::size_t>(r), 64 - t->first.size()));
  }
  if (r >= 0) return static_cast<int>(r);
  return plat::sock_error_would_block(plat::sock_last_error()) ? MBEDTLS_ERR_SSL_WANT_READ
                                                               : MBEDTLS_ERR_NET_RECV_FAILED;
}

int bio_send(void *ctx, const unsigned char *buf, std::size_t len) {
  auto sock = static_cast<tls_state *>(ctx)->sock;
  long r = plat::sock_send(sock, buf, len);
  if (r >= 0) return static_cast<int>(r);
  return plat::sock_error_would_block(plat::sock_last_error()) ? MBEDTLS_ERR_SSL_WANT_WRITE
                                                               : MBEDTLS_ERR_NET_SEND_FAILED;
}

std::string tls_text(int code) {
  char text[160];
  mbedtls_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

transport::transport() = default;
transport::~transport() { close(); }

void transport::mark_lost(const std::string &reason) {
  if (!lost_) lost_reason_ = reason;
  lost_ = true;
}

bool transport::open(const char *host, int port, int connect_s) {
  close();
  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  plat::addr_list addrs;
  if (!addrs.resolve(host, port_text)) {
    set_err("cannot resolve host %s", host);
    return false;
  }
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    plat::sock_t s = plat::sock_open(addrs.at(i));
    if (s == plat::bad_sock) continue;
    if (plat::sock_connect(s, addrs.at(i), connect_s > 0 ? connect_s * 1000 : 10000)) {
      sock_ = s;
      break;
    }
    plat::sock_close(s);
  }
  if (sock_ == plat::bad_sock) {
    set_err("connect to %s:%d failed", host, port);
    return false;
  }
  port_ = port;
  plat::sock_set_nonblocking(sock_, true);
  return true;
}

bool transport::start_tls(const char *host, const char *ca_file, bool verify, int deadline_ms) {
  tls_ = std::make_unique<tls_state>();
  tls_state &t = *tls_;
  t.sock = sock_;
  // TLS 1.3 runs on the PSA crypto layer, which must be started once.
  if (psa_crypto_init() != PSA_SUCCESS ||
      mbedtls_ctr_drbg_seed(&t.drbg, mbedtls_entropy_func, &t.entropy, nullptr, 0) != 0) {
    set_err("ctr_drbg seed failed");
    return false;
  }
  bool chain = false;
  if (ca_file && ca_file[0]) {
    if (!load_ca_file(&t.ca, ca_file)) return false;
    chain = true;
  } else if (plat::system_ca_certs(add_ca, &t.ca) > 0) {
    chain = true;
  }
  if (verify && !chain) {
    set_err("no CA certificates (set ca_file, or tls_verify 0)");
    return false;
  }
  if (mbedtls_ssl_config_defaults(&t.conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                  MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
    set_err("ssl_config_defaults failed");
    return false;
  }
  mbedtls_ssl_conf_authmode(&t.conf, verify ? MBEDTLS_SSL_VERIFY_REQUIRED : MBEDTLS_SSL_VERIFY_NONE);
  if (chain) mbedtls_ssl_conf_ca_chain(&t.conf, &t.ca, nullptr);
  mbedtls_ssl_conf_rng(&t.conf, mbedtls_ctr_drbg_random, &t.drbg);
  mbedtls_ssl_setup(&t.ssl, &t.conf);
  mbedtls_ssl_set_hostname(&t.ssl, host);
  mbedtls_ssl_set_bio(&t.ssl, &t, bio_send, bio_recv, nullptr);

  // A plain IMAP server greets at once, so its "* OK" arrives where the
  // handshake expects a TLS record: whatever the handshake then reports
  // (a bad record, a closed connection, a time-out), that is the cause.
  auto plain_port = [&t]() {
    if (!plain_greeting(t.first)) return false;
    // The handshake read only a record header's worth; the rest of the
    // line is most likely in the socket already.
    unsigned char more[64];
    long got = plat::sock_recv(t.sock, more, sizeof more - t.first.size());
    if (got > 0) t.first.append(reinterpret_cast<const char *>(more), static_cast<std::size_t>(got));
    set_err("TLS handshake failed: the server sent \"%s\": is this a plain IMAP port? use ssl 0 or 2",
            quoted_line(t.first).c_str());
    return true;
  };
  std::uint64_t start = plat::tick_ms();
  for (;;) {
    int r = mbedtls_ssl_handshake(&t.ssl);
    if (r == 0) break;
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
      std::uint64_t spent = plat::tick_ms() - start;
      if (spent >= static_cast<std::uint64_t>(deadline_ms)) {
        if (!plain_port())
          set_err("TLS handshake failed: no answer from server within %d s", deadline_ms / 1000);
        return false;
      }
      int w = plat::sock_wait(sock_, r == MBEDTLS_ERR_SSL_WANT_READ, r == MBEDTLS_ERR_SSL_WANT_WRITE,
                              static_cast<int>(deadline_ms - spent));
      if (w < 0) {
        if (!plain_port()) set_err("TLS handshake failed: %s", plat::error_text(plat::sock_last_error()));
        return false;
      }
      continue;
    }
    if (plain_port()) return false;
    std::string text = tls_text(r);
    if (r == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
      char info[256];
      uint32_t flags = mbedtls_ssl_get_verify_result(&t.ssl);
      int n = mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
      // The verify text is one line per reason; keep them on one line.
      for (int i = 0; i < n && info[i]; ++i)
        if (info[i] == '\n') info[i] = (info[i + 1] ? ';' : '\0');
      // Say which setting mends it: a CA the system does not know is named
      // in ca_file; any refusal can be overridden, at a price, by tls_verify.
      const char *mend =
          flags & MBEDTLS_X509_BADCERT_NOT_TRUSTED
              ? "name the CA that issued it in ca_file, or set tls_verify 0 to skip the check (insecure)"
          : flags & MBEDTLS_X509_BADCERT_CN_MISMATCH
              ? "connect by a host name it was issued for, or set tls_verify 0 to skip the check (insecure)"
              : "set tls_verify 0 to skip the check (insecure)";
      set_err("TLS handshake failed: the server's certificate is not accepted (%s): %s",
              n > 0 ? info : "unknown reason", mend);
    } else {
      set_err("TLS handshake failed: %s", text.c_str());
    }
    return false;
  }
  tls_up_ = true;
  return true;
}

long transport::send_some(const char *data, std::size_t n) {
  if (lost_ || sock_ == plat::bad_sock) return -1;
  if (!z_) {
    long w = raw_send(data, n);
    if (w > 0) plain_out_ += static_cast<std::uint64_t>(w);
    return w;
  }
  // Deflated bytes still unsent go first; new text is taken only once they
  // are out, so a full socket holds the caller back as it does uncompressed.
  if (!flush_deflated()) return -1;
  if (z_->pending_size() > 0 || n == 0) return 0;
  if (!z_->deflate(data, n)) {
    mark_lost("send failed: compression failed");
    return -1;
  }
  plain_out_ += n;
  // What the socket does not take now goes out from wait(), which the
  // session calls while it awaits the answer.
  if (!flush_deflated()) return -1;
  return static_cast<long>(n);
}

bool transport::flush_deflated() {
  while (z_ && z_->pending_size() > 0) {
    long w = raw_send(z_->pending(), z_->pending_size());
    if (w < 0) return false;
    if (w == 0) break;
    z_->sent(static_cast<std::size_t>(w));
  }
  return true;
}

long transport::raw_send(const char *data, std::size_t n) {
  if (lost_ || sock_ == plat::bad_sock) return -1;
  if (tls_ && tls_up_) {
    int w = mbedtls_ssl_write(&tls_->ssl, reinterpret_cast<const unsigned char *>(data), n);
    if (w >= 0) {
      wire_out_ += static_cast<std::uint64_t>(w);
      return w;
    }
    if (w == MBEDTLS_ERR_SSL_WANT_WRITE || w == MBEDTLS_ERR_SSL_WANT_READ) return 0;
    mark_lost("send failed: " + tls_text(w));
    return -1;
  }
  long w = plat::sock_send(sock_, data, n);
  if (w >= 0) {
    wire_out_ += static_cast<std::uint64_t>(w);
    return w;
  }
  int err = plat::sock_last_error();
  if (plat::sock_error_would_block(err)) return 0;
  mark_lost(std::string("send failed: ") + plat::error_text(err));
  return -1;
}

long transport::recv_some(char *buf, std::size_t n) {
  if (lost_ || sock_ == plat::bad_sock) return -1;
  if (!z_) {
    long r = raw_recv(buf, n);
    if (r > 0) plain_in_ += static_cast<std::uint64_t>(r);
    return r;
  }
  char raw[16384];
  for (;;) {
    long got = z_->inflate(buf, n);
    if (got < 0) {
      mark_lost(z_->error());
      return -1;
    }
    if (got > 0) {
      plain_in_ += static_cast<std::uint64_t>(got);
      return got;
    }
    // All that came was inflated: more compressed bytes are needed (0 when
    // none are there yet).
    long r = raw_recv(raw, sizeof raw);
    if (r <= 0) return r;
    z_->feed(raw, static_cast<std::size_t>(r));
  }
}

long transport::raw_recv(char *buf, std::size_t n) {
  if (lost_ || sock_ == plat::bad_sock) return -1;
  if (tls_ && tls_up_) {
    for (;;) {
      int r = mbedtls_ssl_read(&tls_->ssl, reinterpret_cast<unsigned char *>(buf), n);
      if (r > 0) {
        wire_in_ += static_cast<std::uint64_t>(r);
        return r;
      }
      // A TLS 1.3 session ticket is not data: read again.
      if (r == MBEDTLS_ERR_SSL_RECEIVED_NEW_SESSION_TICKET) continue;
      if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) return 0;
      if (r == 0 || r == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY) mark_lost("connection closed by server");
      else mark_lost("receive failed: " + tls_text(r));
      return -1;
    }
  }
  long r = plat::sock_recv(sock_, buf, n);
  if (r > 0) {
    // An IMAP server's first byte is '*'; a TLS record's is its type, a
    // handshake (0x16) or an alert (0x15). Said at once, the mismatch does
    // not wait out the time-out for a greeting that never comes.
    if (raw_in_ == 0 && !tls_ && (buf[0] == 0x16 || buf[0] == 0x15)) {
      heard_tls_ = true;
      mark_lost("the server speaks TLS on port " + std::to_string(port_) + ": use ssl 1");
      return -1;
    }
    raw_in_ += static_cast<std::uint64_t>(r);
    wire_in_ += static_cast<std::uint64_t>(r);
    return r;
  }
  if (r == 0) {
    mark_lost("connection closed by server");
    return -1;
  }
  int err = plat::sock_last_error();
  if (plat::sock_error_would_block(err)) return 0;
  mark_lost(std::string("receive failed: ") + plat::error_text(err));
  return -1;
}

std::uint64_t transport::bytes_in() const { return raw_in_ + (tls_ ? tls_->raw_in : 0); }

bool transport::has_buffered() const {
  if (z_ && z_->has_output()) return true;
  return tls_ && tls_up_ && mbedtls_ssl_get_bytes_avail(&tls_->ssl) > 0;
}

int transport::wait(bool want_write, int timeout_ms) {
  // Deflated bytes the socket did not take yet: the caller's text is all
  // handed over, but the answer it waits for needs them sent.
  if (z_ && z_->pending_size() > 0) {
    if (!flush_deflated()) return plat::sock_readable;  // recv_some reports the loss
    if (z_->pending_size() > 0) want_write = true;
  }
  if (has_buffered()) return plat::sock_readable;
  int ready = plat::sock_wait(sock_, true, want_write, timeout_ms);
  if (ready > 0 && (ready & plat::sock_writable) && z_ && z_->pending_size() > 0 && !flush_deflated())
    return plat::sock_readable;
  return ready;
}

bool transport::start_compress(const char *already_read, std::size_t n) {
  auto z = std::make_unique<deflate_link>();
  if (!z->init()) return false;
  if (n > 0) z->feed(already_read, n);
  z_ = std::move(z);
  return true;
}

std::uint64_t transport::plain_out() const { return plain_out_; }
std::uint64_t transport::plain_in() const { return plain_in_; }
std::uint64_t transport::wire_out() const { return wire_out_; }
std::uint64_t transport::wire_in() const { return wire_in_; }

void transport::close() {
  if (sock_ != plat::bad_sock) {
    if (tls_ && tls_up_) mbedtls_ssl_close_notify(&tls_->ssl);
    plat::sock_close(sock_);
    sock_ = plat::bad_sock;
  }
  z_.reset();
  plain_out_ = plain_in_ = wire_out_ = wire_in_ = 0;
  tls_.reset();
  tls_up_ = false;
  heard_tls_ = false;
  raw_in_ = 0;
  lost_ = false;
  lost_reason_.clear();
}

}  // namespace kq
