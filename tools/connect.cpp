// Connection settings from options and environment, and the secret handling:
// a password comes from KQ_PASSWORD, a file or a no-echo prompt, never argv.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "cli.h"
#include "json.h"
#include "kerquill.h"
#include "term.h"

namespace kqcli {

namespace {

std::string env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

// Overwrites a secret before its memory is given back.
void wipe(std::string &s) {
  for (auto &c : s) *const_cast<volatile char *>(&c) = 0;
  s.clear();
}

// First line of a secret file, without its line end.
std::string read_secret_file(const std::string &path, const char *what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw failure(std::string("cannot read the ") + what + " file " + path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (line.empty()) throw failure(std::string("the ") + what + " file " + path + " is empty");
  return line;
}

std::string password(const args &a, const std::string &user, const std::string &host) {
  if (a.has("password-file")) return read_secret_file(a.value("password-file"), "password");
  if (const char *p = std::getenv("KQ_PASSWORD"); p && *p) return p;
  if (!term_is_tty(stream::in))
    throw usage_error(
        "no password: set KQ_PASSWORD or use --password-file FILE (no terminal to ask on)");
  std::string prompt = "Password for " + user + "@" + host + ": ", pw;
  if (!term_read_secret(prompt.c_str(), pw)) throw usage_error("no password given");
  return pw;
}

}  // namespace

session::session(const args &a) {
  std::string host = a.value("host", env("KQ_HOST"));
  if (host.empty()) throw usage_error("no server: give --host NAME (or set KQ_HOST)");
  std::string user = a.value("user", env("KQ_USER"));
  if (user.empty()) throw usage_error("no login name: give --user NAME (or set KQ_USER)");
  bool plain = a.has("plain");
  long long port = plain ? 143 : 993;
  if (a.has("port")) {
    port = a.number("port", port);
  } else if (std::string p = env("KQ_PORT"); !p.empty()) {
    if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5)
      throw usage_error("KQ_PORT wants a port number, not '" + p + "'");
    port = std::stoll(p);
  }
  if (port < 1 || port > 65535) throw usage_error("--port wants 1 to 65535");
  long long timeout = a.number("timeout", 30);
  if (timeout < 1) throw usage_error("--timeout wants at least 1 second");

  if (a.has("insecure") && !plain)
    std::fprintf(stderr,
                 "kerquill: warning: --insecure: the server's certificate is not checked; anyone "
                 "on the way can read the password and the mail\n");
  if (plain && host != "localhost" && host.rfind("127.", 0) != 0 && host != "::1")
    std::fprintf(stderr, "kerquill: warning: --plain sends the password unencrypted to %s\n",
                 host.c_str());

  json_object cfg;
  cfg.str("host", host).num("port", port).num("ssl", plain ? 0 : 1).str("user", user);
  std::string secret;
  if (a.has("oauth-token-file")) {
    secret = read_secret_file(a.value("oauth-token-file"), "token");
    cfg.str("oauth_token", secret);
  } else {
    secret = password(a, user, host);
    cfg.str("pass", secret);
  }
  std::string ca = a.value("ca-file", env("KQ_CA_FILE"));
  if (!ca.empty()) cfg.str("ca_file", ca);
  cfg.num("timeout_s", timeout).num("tls_verify", a.has("insecure") ? 0 : 1);
  std::string text = cfg.text();
  wipe(secret);

  int rc = kq_connect(text.c_str());
  wipe(text);
  if (rc != 0) lib_fail("cannot log in to " + host + ":" + std::to_string(port) + " as " + user);
}

session::~session() { kq_disconnect(); }

}  // namespace kqcli
