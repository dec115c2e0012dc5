#include "config.h"

#include <algorithm>
#include <cstdint>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

// Header-only use: the tool then needs no toml++ shared library at run time.
#define TOML_HEADER_ONLY 1
#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

namespace kqcli {

namespace fs = std::filesystem;

std::string env(const char *name) {
  const char *v = std::getenv(name);
  return v ? v : "";
}

void wipe(std::string &s) {
  for (auto &c : s) *const_cast<volatile char *>(&c) = 0;
  s.clear();
}

namespace {

std::string where(const std::string &path, const toml::source_region &src) {
  return path + ":" + std::to_string(src.begin.line);
}

[[noreturn]] void bad(const std::string &path, const toml::node &n, const std::string &what) {
  throw config_error(where(path, n.source()) + ": " + what);
}

const char *type_word(const toml::node &n) {
  switch (n.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::array: return "an array";
    case toml::node_type::table: return "a table";
    default: return "a date or time";
  }
}

std::string want_string(const std::string &path, const std::string &key, const toml::node &n) {
  if (!n.is_string()) bad(path, n, "'" + key + "' must be a string, not " + type_word(n));
  std::string v = **n.as_string();
  if (v.empty()) bad(path, n, "'" + key + "' is empty");
  return v;
}

bool want_bool(const std::string &path, const std::string &key, const toml::node &n) {
  if (!n.is_boolean()) bad(path, n, "'" + key + "' must be true or false, not " + type_word(n));
  return **n.as_boolean();
}

std::vector<std::string> want_patterns(const std::string &path, const std::string &key,
                                       const toml::node &n) {
  if (!n.is_array()) bad(path, n, "'" + key + "' must be an array of strings, not " + type_word(n));
  std::vector<std::string> out;
  for (const toml::node &item : *n.as_array()) out.push_back(want_string(path, key, item));
  return out;
}

account read_account(const std::string &path, const std::string &name, const toml::table &t) {
  account acc;
  acc.name = name;
  for (const auto &[k, node] : t) {
    std::string key(k.str());
    const std::string label = "accounts." + name + "." + key;
    if (key == "host") acc.host = want_string(path, label, node);
    else if (key == "user") acc.user = want_string(path, label, node);
    else if (key == "ca_file") acc.ca_file = want_string(path, label, node);
    else if (key == "password_command") acc.password_command = want_string(path, label, node);
    else if (key == "oauth_token_command") acc.oauth_token_command = want_string(path, label, node);
    else if (key == "archive") acc.archive = want_string(path, label, node);
    else if (key == "oauth_client_id") acc.oauth_client_id = want_string(path, label, node);
    else if (key == "oauth_client_secret") acc.oauth_client_secret = want_string(path, label, node);
    else if (key == "oauth_scope") acc.oauth_scope = want_string(path, label, node);
    else if (key == "oauth_ca_file") acc.oauth_ca_file = want_string(path, label, node);
    else if (key == "oauth_device_url" || key == "oauth_token_url") {
      std::string v = want_string(path, label, node);
      if (v.rfind("https://", 0) != 0) bad(path, node, "'" + label + "' must be an https:// address");
      (key == "oauth_device_url" ? acc.oauth_device_url : acc.oauth_token_url) = v;
    } else if (key == "oauth_provider") {
      std::string v = want_string(path, label, node);
      if (v != "google" && v != "microsoft")
        bad(path, node, "'" + label + "' must be \"google\" or \"microsoft\", not \"" + v + "\"");
      acc.oauth_provider = v;
    }
    else if (key == "tls_verify") acc.tls_verify = want_bool(path, label, node);
    else if (key == "mbox") acc.mbox = want_bool(path, label, node);
    else if (key == "include") acc.include = want_patterns(path, label, node);
    else if (key == "exclude") acc.exclude = want_patterns(path, label, node);
    else if (key == "port") {
      if (!node.is_integer()) bad(path, node, "'" + label + "' must be an integer, not " + type_word(node));
      long long p = **node.as_integer();
      if (p < 1 || p > 65535) bad(path, node, "'" + label + "' must be 1 to 65535");
      acc.port = p;
    } else if (key == "tls") {
      std::string v = want_string(path, label, node);
      if (v != "implicit" && v != "starttls" && v != "none")
        bad(path, node, "'" + label + "' must be \"implicit\", \"starttls\" or \"none\", not \"" + v + "\"");
      acc.tls = v;
    } else if (key == "naming") {
      std::string v = want_string(path, label, node);
      if (v != "flat" && v != "dated")
        bad(path, node, "'" + label + "' must be \"flat\" or \"dated\", not \"" + v + "\"");
      acc.naming = v;
    } else {
      bad(path, node,
          "unknown key '" + label +
              "' (known: host, port, user, tls, ca_file, tls_verify, password_command, "
              "oauth_token_command, oauth_provider, oauth_client_id, oauth_client_secret, "
              "oauth_device_url, oauth_token_url, oauth_scope, oauth_ca_file, archive, include, "
              "exclude, mbox, naming)");
    }
  }
  bool oauth = acc.oauth_provider || acc.oauth_client_id || acc.oauth_client_secret || acc.oauth_device_url ||
               acc.oauth_token_url || acc.oauth_scope || acc.oauth_ca_file;
  if (oauth && !acc.oauth_client_id)
    throw config_error(where(path, t.source()) + ": account '" + name + "' has OAuth settings but no oauth_client_id");
  if (oauth && !acc.oauth_provider && !acc.oauth_token_url)
    throw config_error(where(path, t.source()) + ": account '" + name +
                       "' needs oauth_provider or oauth_token_url (and oauth_device_url for 'kerquill auth')");
  if (oauth && (acc.password_command || acc.oauth_token_command))
    throw config_error(where(path, t.source()) + ": account '" + name + "' has OAuth settings and " +
                       (acc.password_command ? "password_command" : "oauth_token_command") + "; keep one");
  if (acc.password_command && acc.oauth_token_command)
    throw config_error(where(path, t.source()) + ": account '" + name +
                       "' has both password_command and oauth_token_command");
  return acc;
}

}  // namespace

std::string default_config_path() {
  std::string home_cfg = env("XDG_CONFIG_HOME");
  // The XDG rules ignore a relative path.
  if (home_cfg.empty() || home_cfg[0] != '/') {
    std::string home = env("HOME");
    home_cfg = home.empty() ? "" : home + "/.config";
  }
  std::error_code ec;
  if (!home_cfg.empty() && fs::is_regular_file(home_cfg + "/kerquill/config.toml", ec))
    return home_cfg + "/kerquill/config.toml";
  std::string dirs = env("XDG_CONFIG_DIRS");
  if (dirs.empty()) dirs = "/etc/xdg";
  std::stringstream list(dirs);
  for (std::string d; std::getline(list, d, ':');)
    if (!d.empty() && d[0] == '/' && fs::is_regular_file(d + "/kerquill/config.toml", ec))
      return d + "/kerquill/config.toml";
  return "";
}

config_file parse_config(const std::string &text, const std::string &path) {
  config_file cfg;
  cfg.path = path;
  toml::table root;
  try {
    root = toml::parse(text, path);
  } catch (const toml::parse_error &e) {
    throw config_error(where(path, e.source()) + ": " + std::string(e.description()));
  }
  for (const auto &[k, node] : root) {
    std::string key(k.str());
    if (key != "accounts")
      bad(path, node, "unknown key '" + key + "' (accounts go in [accounts.NAME] tables)");
    if (!node.is_table()) bad(path, node, "'accounts' must be a table of [accounts.NAME] tables");
    // toml++ keeps a table's keys sorted; the file's order is their lines'.
    std::vector<std::pair<std::pair<std::uint32_t, std::uint32_t>, std::string>> placed;
    for (const auto &[name, acc] : *node.as_table()) {
      std::string n(name.str());
      if (!acc.is_table())
        bad(path, acc, "'accounts." + n + "' must be a table ([accounts." + n + "]), not " + type_word(acc));
      cfg.accounts[n] = read_account(path, n, *acc.as_table());
      placed.push_back({{name.source().begin.line, name.source().begin.column}, n});
    }
    std::stable_sort(placed.begin(), placed.end(),
                     [](const auto &x, const auto &y) { return x.first < y.first; });
    for (const auto &p : placed) cfg.order.push_back(p.second);
  }
  return cfg;
}

config_file load_config(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw config_error("cannot read the configuration file " + path);
  std::stringstream text;
  text << in.rdbuf();
  return parse_config(text.str(), path);
}

void apply_account(const account &acc, args &a) {
  if (acc.host) a.fill("host", *acc.host);
  if (acc.user) a.fill("user", *acc.user);
  if (acc.port) a.fill("port", std::to_string(*acc.port));
  if (acc.ca_file) a.fill("ca-file", *acc.ca_file);
  // The command line's own choice of transport wins as a whole.
  if (acc.tls && !a.has("plain") && !a.has("starttls") && !a.has("tls")) {
    if (*acc.tls == "none") a.fill("plain", "");
    else if (*acc.tls == "starttls") a.fill("starttls", "");
  }
  if (acc.tls_verify && !*acc.tls_verify) a.fill("insecure", "");
  bool secret_given = a.has("password-file") || a.has("password-command") ||
                      a.has("oauth-token-file") || a.has("oauth-token-command");
  if (!secret_given) {
    if (acc.password_command) a.fill("password-command", *acc.password_command);
    if (acc.oauth_token_command) a.fill("oauth-token-command", *acc.oauth_token_command);
    // Read by oauth.cpp: the refresh grant before connecting, and 'auth'.
    if (acc.oauth_client_id) {
      a.fill("oauth-account", acc.name);
      const std::pair<const char *, const std::optional<std::string> *> oauth[] = {
          {"oauth-provider", &acc.oauth_provider},     {"oauth-client-id", &acc.oauth_client_id},
          {"oauth-client-secret", &acc.oauth_client_secret}, {"oauth-device-url", &acc.oauth_device_url},
          {"oauth-token-url", &acc.oauth_token_url},   {"oauth-scope", &acc.oauth_scope},
          {"oauth-ca-file", &acc.oauth_ca_file}};
      for (const auto &[opt, val] : oauth)
        if (*val) a.fill(opt, **val);
    }
  }
  if (acc.include && !a.has("include")) a.fill("include", *acc.include);
  if (acc.exclude && !a.has("exclude")) a.fill("exclude", *acc.exclude);
  if (acc.mbox && *acc.mbox) a.fill("mbox", "");
  if (acc.naming && !a.has("flat") && !a.has("dated")) a.fill(*acc.naming == "flat" ? "flat" : "dated", "");
}

}  // namespace kqcli
