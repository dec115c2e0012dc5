// The connection settings read from the kq_connect JSON, and how their
// secrets are let go of.
#include <cstring>

#include <mbedtls/platform_util.h>
#include <yyjson.h>

#include "base/error.h"
#include "base/text.h"
#include "connection/session.h"

namespace kq {

namespace {

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

void wipe_secret(std::string &s) {
  if (!s.empty()) mbedtls_platform_zeroize(s.data(), s.size());
  s.clear();
  s.shrink_to_fit();
}

void conn_config::wipe_secrets() {
  wipe_secret(pass);
  wipe_secret(oauth_token);
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

}  // namespace kq
