// The process-wide connection: configuration, TCP, TLS, greeting, teardown.
#include <cstdio>
#include <cstring>
#include <string>

#include <mbedtls/error.h>
#include <mbedtls/net_sockets.h>
#include <mbedtls/version.h>
#include <psa/crypto.h>

#include "base/error.h"
#include "connection/imap.h"
#include "export/batch.h"
#include "export/job.h"
#include "base/text.h"
#include "kerquill.h"

static_assert(MBEDTLS_VERSION_NUMBER >= 0x03060000 && MBEDTLS_VERSION_NUMBER < 0x03070000,
              "Mbed TLS 3.6 is required");

namespace kq {

imap_conn s_conn;
conn_config s_cfg;
int s_authed = 0;
int s_recv_timeout_s = 120;

namespace {

// PEM (NUL-terminated) or DER; true when at least one certificate was taken.
bool add_ca(void *chain, const unsigned char *data, std::size_t len) {
  return mbedtls_x509_crt_parse(static_cast<mbedtls_x509_crt *>(chain), data, len) >= 0;
}

// Reads ca_file through the platform layer, which takes UTF-8 paths on
// every system (Mbed TLS's own file reader would not on Windows).
bool load_ca_file(mbedtls_x509_crt *chain, const char *path) {
  std::FILE *f = plat::file_open(path, "rb");
  if (!f) return false;
  std::string bytes;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed || bytes.empty()) return false;
  // PEM needs the terminating NUL counted; DER must not have it.
  bool pem = bytes.find("-----BEGIN") != std::string::npos;
  return add_ca(chain, reinterpret_cast<const unsigned char *>(bytes.c_str()), bytes.size() + (pem ? 1 : 0));
}

void tls_free() {
  if (!s_conn.tls_objs) return;
  mbedtls_ssl_free(&s_conn.ssl_ctx);
  mbedtls_ssl_config_free(&s_conn.ssl_conf);
  mbedtls_ctr_drbg_free(&s_conn.ctr_drbg);
  mbedtls_entropy_free(&s_conn.entropy);
  mbedtls_x509_crt_free(&s_conn.ca_chain);
  s_conn.tls_objs = 0;
}

void reset_config() {
  std::memset(&s_cfg, 0, sizeof s_cfg);
  s_cfg.port = 993;
  s_cfg.ssl = 1;
  s_cfg.timeout_s = 30;
  s_cfg.tls_verify = 1;
}

void read_text(yyjson_val *root, const char *key, char *dst, std::size_t cap) {
  // A value that is not a string counts as no text at all.
  if (const char *v = json_str(root, key)) copy_cut(dst, cap, v);
}

// Sets up TLS over the connected socket; false with last_error set.
bool tls_setup() {
  imap_conn &c = s_conn;
  mbedtls_ssl_init(&c.ssl_ctx);
  mbedtls_ssl_config_init(&c.ssl_conf);
  mbedtls_entropy_init(&c.entropy);
  mbedtls_ctr_drbg_init(&c.ctr_drbg);
  mbedtls_x509_crt_init(&c.ca_chain);
  c.tls_objs = 1;
  // TLS 1.3 runs on the PSA crypto layer, which must be started once.
  if (psa_crypto_init() != PSA_SUCCESS) {
    set_err("ctr_drbg seed failed");
    return false;
  }
  if (mbedtls_ctr_drbg_seed(&c.ctr_drbg, mbedtls_entropy_func, &c.entropy, nullptr, 0) != 0) {
    set_err("ctr_drbg seed failed");
    return false;
  }
  bool chain = false;
  if (s_cfg.ca_file[0] && load_ca_file(&c.ca_chain, s_cfg.ca_file)) chain = true;
  if (!chain && plat::system_ca_certs(add_ca, &c.ca_chain) > 0) chain = true;
  if (s_cfg.tls_verify && !chain) {
    set_err("no CA certificates (set ca_file, or tls_verify 0)");
    return false;
  }
  if (mbedtls_ssl_config_defaults(&c.ssl_conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                  MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
    set_err("ssl_config_defaults failed");
    return false;
  }
  mbedtls_ssl_conf_authmode(&c.ssl_conf,
                            s_cfg.tls_verify ? MBEDTLS_SSL_VERIFY_REQUIRED : MBEDTLS_SSL_VERIFY_NONE);
  if (chain) mbedtls_ssl_conf_ca_chain(&c.ssl_conf, &c.ca_chain, nullptr);
  mbedtls_ssl_conf_rng(&c.ssl_conf, mbedtls_ctr_drbg_random, &c.ctr_drbg);
  mbedtls_ssl_setup(&c.ssl_ctx, &c.ssl_conf);
  mbedtls_ssl_set_hostname(&c.ssl_ctx, s_cfg.host);
  mbedtls_ssl_set_bio(&c.ssl_ctx, &c.sock, kq_tls_send_cb, kq_tls_recv_cb, nullptr);

  // A silent server yields WANT_READ after every receive time-out: give up
  // once the handshake has waited longer than one time-out in total.
  std::uint64_t start = plat::tick_ms();
  std::uint64_t limit = static_cast<std::uint64_t>(s_recv_timeout_s) * 1000u;
  for (;;) {
    int r = mbedtls_ssl_handshake(&c.ssl_ctx);
    if (r == 0) break;
    if (r == MBEDTLS_ERR_SSL_WANT_READ || r == MBEDTLS_ERR_SSL_WANT_WRITE) {
      if (plat::tick_ms() - start >= limit) {
        set_err("TLS handshake failed: no answer from server within %d s", s_recv_timeout_s);
        return false;
      }
      continue;
    }
    char text[128];
    mbedtls_strerror(r, text, sizeof text);
    if (r == MBEDTLS_ERR_X509_CERT_VERIFY_FAILED) {
      char info[256];
      uint32_t flags = mbedtls_ssl_get_verify_result(&c.ssl_ctx);
      int n = mbedtls_x509_crt_verify_info(info, sizeof info, "", flags);
      // The verify text is one line per reason; keep them on one line.
      for (int i = 0; i < n && info[i]; ++i)
        if (info[i] == '\n') info[i] = (info[i + 1] ? ';' : '\0');
      set_err("TLS handshake failed: %s (%s)", text, n > 0 ? info : "unknown reason");
    } else {
      set_err("TLS handshake failed: %s", text);
    }
    return false;
  }
  c.tls = 1;
  return true;
}

}  // namespace

int kq_tls_recv_cb(void *ctx, unsigned char *buf, std::size_t len) {
  auto sock = *static_cast<plat::sock_t *>(ctx);
  long r = plat::sock_recv(sock, buf, len);
  if (r >= 0) return static_cast<int>(r);
  return plat::sock_error_would_block(plat::sock_last_error()) ? MBEDTLS_ERR_SSL_WANT_READ
                                                               : MBEDTLS_ERR_NET_RECV_FAILED;
}

int kq_tls_send_cb(void *ctx, const unsigned char *buf, std::size_t len) {
  auto sock = *static_cast<plat::sock_t *>(ctx);
  long r = plat::sock_send(sock, buf, len);
  if (r >= 0) return static_cast<int>(r);
  return plat::sock_error_would_block(plat::sock_last_error()) ? MBEDTLS_ERR_SSL_WANT_WRITE
                                                               : MBEDTLS_ERR_NET_SEND_FAILED;
}

void conn_close() {
  if (s_conn.sock != plat::bad_sock) {
    if (s_conn.tls) mbedtls_ssl_close_notify(&s_conn.ssl_ctx);
    plat::sock_close(s_conn.sock);
    s_conn.sock = plat::bad_sock;
  }
  tls_free();
  selected_mailbox_clear();
  s_conn.tls = s_conn.connected = s_conn.dead = 0;
  s_authed = 0;
}

bool conn_usable() {
  if (s_conn.dead || !s_conn.connected || !s_authed) {
    set_err("not connected");
    return false;
  }
  return true;
}

namespace {

int connect_impl(const char *config_json) {
  reset_config();
  conn_close();

  if (!config_json || !*config_json) {
    set_err("empty config");
    return -1;
  }
  {
    json_doc doc;
    if (!doc.parse(config_json, std::strlen(config_json))) {
      set_err("invalid config JSON");
      return -1;
    }
    yyjson_val *root = doc.root();
    read_text(root, "host", s_cfg.host, sizeof s_cfg.host);
    s_cfg.port = json_int(root, "port", 993);
    s_cfg.ssl = json_int(root, "ssl", 1);
    read_text(root, "user", s_cfg.user, sizeof s_cfg.user);
    read_text(root, "pass", s_cfg.pass, sizeof s_cfg.pass);
    read_text(root, "oauth_token", s_cfg.oauth_token, sizeof s_cfg.oauth_token);
    read_text(root, "ca_file", s_cfg.ca_file, sizeof s_cfg.ca_file);
    s_cfg.timeout_s = json_int(root, "timeout_s", 30);
    s_cfg.tls_verify = json_int(root, "tls_verify", 1);
  }
  if (!s_cfg.host[0]) {
    set_err("config missing host");
    return -1;
  }
  if (!s_cfg.user[0]) {
    set_err("config missing user");
    return -1;
  }
  if (s_cfg.pass[0] && s_cfg.oauth_token[0]) {
    set_err("use either pass or oauth_token");
    return -1;
  }

  char port_text[16];
  std::snprintf(port_text, sizeof port_text, "%d", s_cfg.port);
  plat::addr_list addrs;
  if (!addrs.resolve(s_cfg.host, port_text)) {
    set_err("cannot resolve host %s", s_cfg.host);
    return -1;
  }
  plat::sock_t sock = plat::bad_sock;
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    plat::sock_t s = plat::sock_open(addrs.at(i));
    if (s == plat::bad_sock) continue;
    plat::sock_set_timeouts(s, s_cfg.timeout_s, s_cfg.timeout_s);
    if (plat::sock_connect(s, addrs.at(i), 10000)) {
      sock = s;
      break;
    }
    plat::sock_close(s);
  }
  if (sock == plat::bad_sock) {
    set_err("connect to %s:%d failed", s_cfg.host, s_cfg.port);
    return -1;
  }
  plat::sock_set_timeouts(sock, s_recv_timeout_s, 0);
  s_conn.sock = sock;
  s_conn.connected = 1;

  if (s_cfg.ssl != 0 && !tls_setup()) {
    // No handshake completed, so no close_notify.
    s_conn.tls = 0;
    conn_close();
    return -1;
  }

  reader r;
  bool ok = false;
  if (reader_read_record(&r, r.line.get()) != 0) {
    set_err("no greeting from server");
  } else if (r.line[0] != '*') {
    set_err("unexpected greeting: %.80s", r.line.get());
  } else if (imap_login(&r) == 0) {
    ok = true;
  }
  r.release();
  if (!ok) {
    conn_close();
    return -1;
  }
  s_authed = 1;
  return 0;
}

}  // namespace

}  // namespace kq

extern "C" KQ_API int kq_connect(const char *config_json) {
  try {
    return kq::connect_impl(config_json);
  } catch (...) {
    kq::set_err("out of memory");
    kq::conn_close();
    return -1;
  }
}

namespace kq {
namespace {
// An export job or batch uses the connection from its own thread: cancel it
// and wait until its worker has let go, so the socket and TLS state are not
// freed under it. A worker blocked in a read ends within one read time-out.
void stop_workers() {
  while (export_job_active() || s_batch.state.load() == k_batch_running) {
    if (export_job_active()) kq_export_cancel();
    plat::sleep_ms(5);
  }
}
}  // namespace
}  // namespace kq

extern "C" KQ_API int kq_disconnect(void) {
  kq::stop_workers();
  try {
    if (kq::s_conn.connected) {
      kq::reader r;
      kq::cmd_exec(&r, "LOGOUT");
      r.release();
    }
  } catch (...) {
  }
  kq::conn_close();
  return 0;
}

extern "C" KQ_API int kq_status(void) {
  if (kq::s_conn.dead || !kq::s_conn.connected) return 0;
  return kq::s_authed ? 2 : 1;
}
