// The configuration file: accounts in TOML, one table [accounts.NAME] each,
// found by the XDG rules unless --config names it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace kqcli {

struct account {
  std::string name;
  std::optional<std::string> host, user, tls, ca_file, password_command, oauth_token_command, archive,
      naming;
  // OAuth sign-in ('kerquill auth'): a provider preset or the issuer's URLs.
  std::optional<std::string> oauth_provider, oauth_client_id, oauth_client_secret, oauth_device_url,
      oauth_token_url, oauth_scope, oauth_ca_file;
  std::optional<long long> port;
  std::optional<bool> tls_verify, mbox;
  std::optional<std::vector<std::string>> include, exclude;
};

struct config_file {
  std::string path;  // empty: no file
  std::map<std::string, account> accounts;
  std::vector<std::string> order;  // the account names in the file's order
};

// $XDG_CONFIG_HOME/kerquill/config.toml (default ~/.config), else the first
// DIR/kerquill/config.toml of $XDG_CONFIG_DIRS (default /etc/xdg) that
// exists; empty when there is none.
std::string default_config_path();

// Reads and checks a configuration file; config_error names the file, the
// line and the key of the first problem (an unknown key, a wrong type, a
// value out of range).
config_file load_config(const std::string &path);
// The same from a text, path used in the messages.
config_file parse_config(const std::string &text, const std::string &path);

// Hands an account's settings to the options the command line left unset.
void apply_account(const account &acc, args &a);

}  // namespace kqcli
