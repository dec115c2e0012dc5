// Connection settings from options, the account and the environment, and the
// secret handling: a password comes from a file, a helper command,
// KQ_PASSWORD (KQ_TO_PASSWORD for copy's target) or a no-echo prompt, never
// argv.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "advice.h"
#include "cli.h"
#include "json.h"
#include "kerquill.h"
#include "oauth.h"
#include "term.h"

namespace kqcli {

namespace {

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

// First line of what a helper command prints (pass, secret-tool, an OAuth
// refresher). Run anew for every connection, so a token can be renewed.
std::string secret_from_command(const std::string &command, const char *what) {
  // The command line itself may hold a secret (a token, a vault path): not shown.
  say(1, std::string("running the ") + what + " command");
  std::string out, why;
  if (!run_for_output(command, out, why)) {
    wipe(out);
    throw failure(std::string("the ") + what + " command failed (" + why + "): " + command);
  }
  std::size_t eol = out.find_first_of("\r\n");
  std::string line = out.substr(0, eol);
  wipe(out);
  if (line.empty()) throw failure(std::string("the ") + what + " command printed nothing: " + command);
  return line;
}

std::string ask_password(const side &sd, const std::string &user, const std::string &host) {
  if (!term_is_tty(stream::in))
    throw usage_error("no password: set " + sd.env_name("PASSWORD") + " or use " + sd.option_name("password-file") +
                      " FILE (no terminal to ask on)");
  std::string prompt = "Password for " + user + "@" + host + ": ", pw;
  if (!term_read_secret(prompt.c_str(), pw)) throw usage_error("no password given");
  return pw;
}

std::string password(const args &a, const side &sd, const std::string &user, const std::string &host,
                     const std::string &asked) {
  if (a.has("password-file")) return read_secret_file(a.value("password-file"), "password");
  if (a.has("password-command")) return secret_from_command(a.value("password-command"), "password");
  if (std::string p = env(sd.env_name("PASSWORD").c_str()); !p.empty()) return p;
  if (!asked.empty()) return asked;
  return ask_password(sd, user, host);
}

}  // namespace

std::string side::option_name(const char *name) const { return std::string("--") + option + name; }

std::string side::env_name(const char *name) const { return std::string(env) + name; }

args side::own_options(const args &a) const {
  if (!*option) return a;
  // The side's connection options without their prefix; --timeout serves both.
  args out;
  out.command = a.command;
  const std::string prefix = option;
  for (const auto &[name, values] : a.options)
    if (name.rfind(prefix, 0) == 0) out.options[name.substr(prefix.size())] = values;
  if (a.has("timeout")) out.options["timeout"] = a.values("timeout");
  return out;
}

endpoint check_endpoint(const args &all, const side &sd) {
  const args a = sd.own_options(all);
  endpoint e;
  e.host = a.value("host", env(sd.env_name("HOST").c_str()));
  if (e.host.empty())
    throw usage_error("no server: give " + sd.option_name("host") + " NAME (or set " + sd.env_name("HOST") + ")");
  e.user = a.value("user", env(sd.env_name("USER").c_str()));
  if (e.user.empty())
    throw usage_error("no login name: give " + sd.option_name("user") + " NAME (or set " + sd.env_name("USER") +
                      ")");
  e.plain = a.has("plain");
  e.starttls = a.has("starttls");
  if (e.plain && e.starttls)
    throw usage_error(sd.option_name("plain") + " and " + sd.option_name("starttls") + " exclude each other");
  e.port = e.plain || e.starttls ? 143 : 993;
  if (a.has("port")) {
    const std::string p = a.value("port");
    if (p.empty() || p.size() > 18 || p.find_first_not_of("0123456789") != std::string::npos)
      throw usage_error(sd.option_name("port") + " wants a whole number, not '" + p + "'");
    e.port = std::stoll(p);
  } else if (std::string p = env(sd.env_name("PORT").c_str()); !p.empty()) {
    if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5)
      throw usage_error(sd.env_name("PORT") + " wants a port number, not '" + p + "'");
    e.port = std::stoll(p);
  }
  if (e.port < 1 || e.port > 65535) throw usage_error(sd.option_name("port") + " wants 1 to 65535");
  e.timeout = a.number("timeout", 30);
  if (e.timeout < 1) throw usage_error("--timeout wants at least 1 second");
  return e;
}

bool password_from_prompt(const args &all, const side &sd) {
  const args a = sd.own_options(all);
  for (const char *given : {"password-file", "password-command", "oauth-token-file", "oauth-token-command"})
    if (a.has(given)) return false;
  return !oauth_configured(a) && env(sd.env_name("PASSWORD").c_str()).empty();
}

std::string password_now(const args &a, const side &sd) {
  const endpoint e = check_endpoint(a, sd);
  return ask_password(sd, e.user, e.host);
}

session::session(const args &all, const side &sd, const std::string &asked) {
  const args a = sd.own_options(all);
  const endpoint e = check_endpoint(all, sd);
  const std::string &host = e.host, &user = e.user;
  const bool plain = e.plain, starttls = e.starttls;
  const long long port = e.port, timeout = e.timeout;

  if (a.has("insecure") && !plain)
    std::fprintf(stderr,
                 "kerquill: warning: %s: the server's certificate is not checked; anyone "
                 "on the way can read the password and the mail\n",
                 sd.option_name("insecure").c_str());
  if (plain && host != "localhost" && host.rfind("127.", 0) != 0 && host != "::1")
    std::fprintf(stderr, "kerquill: warning: %s sends the password unencrypted to %s\n",
                 sd.option_name("plain").c_str(), host.c_str());

  // "ssl": 0 plain, 1 TLS from the first byte, 2 STARTTLS (required, then
  // checked like 1).
  const int ssl = plain ? 0 : starttls ? 2 : 1;
  json_object cfg;
  cfg.str("host", host).num("port", port).num("ssl", ssl).str("user", user);
  std::string secret;
  const char *how;
  if (a.has("oauth-token-file")) {
    secret = read_secret_file(a.value("oauth-token-file"), "token");
    cfg.secret("oauth_token", secret);
    how = "an OAuth token from a file";
  } else if (a.has("oauth-token-command")) {
    secret = secret_from_command(a.value("oauth-token-command"), "token");
    cfg.secret("oauth_token", secret);
    how = "an OAuth token from a command";
  } else if (oauth_configured(a)) {
    secret = oauth_access_token(a);
    cfg.secret("oauth_token", secret);
    how = "an OAuth access token from the account's sign-in";
  } else {
    secret = password(a, sd, user, host, asked);
    cfg.secret("pass", secret);
    how = "a password";
  }
  std::string ca = a.value("ca-file", env(sd.env_name("CA_FILE").c_str()));
  if (!ca.empty()) cfg.str("ca_file", ca);
  cfg.num("timeout_s", timeout).num("tls_verify", a.has("insecure") ? 0 : 1);
  std::string text = cfg.text();
  wipe(secret);

  say(1, "connecting to " + host + ":" + std::to_string(port) +
             (ssl == 0 ? " (plain IMAP)" : ssl == 2 ? " (STARTTLS)" : " (TLS)") + " as " + user + " with " + how);
  // The library traces the IMAP conversation, credentials redacted.
  if (g_verbosity >= 2) set_env("KQ_DEBUG", "imap");
  int rc = kq_connect(text.c_str());
  wipe(text);
  if (rc != 0) {
    const char *why = kq_last_error();
    throw failure("cannot log in to " + host + ":" + std::to_string(port) + " as " + user + ": " +
                  in_tool_words(why && *why ? why : "unknown error"));
  }
  say(1, "logged in");
}

session::~session() { kq_disconnect(); }

}  // namespace kqcli
