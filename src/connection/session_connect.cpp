// Connecting: the socket and TLS, the greeting, STARTTLS, the login, and
// connecting again with the same settings.
#include <cstring>

#include <mbedtls/base64.h>

#include "base/error.h"
#include "base/strcase.h"
#include "connection/session.h"
#include "platform/platform.h"

namespace kq {

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
    // Nothing was opened: the settings go, as after any failed connect.
    cfg_.wipe_secrets();
    have_cfg_ = false;
    return -1;
  }
  bool ok = open_stream() && await_greeting() && (cfg_.ssl != 2 || upgrade_to_tls()) &&
            (authed_ || login() == 0) && after_login();
  if (!ok) {
    close();
    return -1;
  }
  authed_ = 1;
  return 0;
}

bool session::open_stream() {
  return cfg_.ssl != 1 ||
         tx_.start_tls(cfg_.host.c_str(), cfg_.ca_file.c_str(), cfg_.tls_verify != 0, answer_ms_);
}

bool session::await_greeting() {
  // Waited for as for a command's answer: the same silence deadline.
  greeting_due_ = true;
  greeting_.clear();
  heard_at_ = plat::tick_ms();
  while (greeting_due_ && pump()) {
  }
  bool got = !greeting_due_;
  greeting_due_ = false;
  if (!got) {
    std::string why = tx_.lost_reason();
    if (tx_.heard_tls()) set_err("%s", why.c_str());
    else if (why.empty() || why == "connection closed by server") set_err("no greeting from server");
    // Not a byte in all that time: most likely a TLS port, whose server
    // waits for the client to begin.
    else if (tx_.bytes_in() == 0)
      set_err("no greeting from server: %s (if the port expects TLS, use ssl 1)", why.c_str());
    else set_err("no greeting from server: %s", why.c_str());
    return false;
  }
  if (greeting_.size() < 2 || greeting_[0] != '*') {
    set_err("unexpected greeting: %.80s", greeting_.c_str());
    return false;
  }
  if (ascii_istarts(greeting_, "* PREAUTH")) authed_ = 1;
  return true;
}

bool session::upgrade_to_tls() {
  if (exec("CAPABILITY") != 0) {
    set_err("CAPABILITY failed");
    return false;
  }
  // Never log in over plain text to a server that was asked for TLS.
  if (!has_capability("STARTTLS")) {
    set_err("server does not offer STARTTLS; not logging in without encryption");
    return false;
  }
  if (exec("STARTTLS") != 0) {
    set_err("STARTTLS refused by server");
    return false;
  }
  // Anything the server said before the handshake is forgotten.
  caps_.clear();
  parser_.reset();
  in_pos_ = in_len_ = 0;
  return tx_.start_tls(cfg_.host.c_str(), cfg_.ca_file.c_str(), cfg_.tls_verify != 0, answer_ms_);
}

bool session::after_login() {
  if (cfg_.compress == 0 || !has_capability("COMPRESS=DEFLATE")) return true;
  return start_compress() == 0;
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
    rc = login_xoauth2(&server_text);
    if (rc == -2) return -1;
  }
  if (rc != 0 && !cfg_.pass.empty()) rc = login_password(&server_text);
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
  return 0;
}

// -2 when the token could not even be encoded (the reason is set).
int session::login_xoauth2(std::string *text) {
  std::string raw = "user=" + cfg_.user + "\x01" "auth=Bearer " + cfg_.oauth_token + "\x01\x01";
  std::string enc(((raw.size() + 2) / 3) * 4 + 4, '\0');
  std::size_t olen = 0;
  int e = mbedtls_base64_encode(reinterpret_cast<unsigned char *>(enc.data()), enc.size(), &olen,
                                reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
  wipe_secret(raw);
  if (e != 0) {
    set_err("base64 encode failed");
    return -2;
  }
  enc.resize(olen);
  int rc = -1;
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
    *text = t;
  };
  submit(std::move(c));
  drain();
  wipe_secret(enc);
  return rc;
}

int session::login_password(std::string *text) {
  std::string u, p;
  imap_quote(cfg_.user, u);
  imap_quote(cfg_.pass, p);
  int rc = -1;
  command c;
  c.secret = true;
  c.line = "LOGIN " + u + " " + p;
  wipe_secret(p);
  c.on_done = [&](int s, const std::string &t) {
    rc = s;
    *text = t;
  };
  submit(std::move(c));
  drain();
  return rc;
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
