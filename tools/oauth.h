// OAuth 2.0 sign-in for accounts whose server wants a bearer token: the
// device authorization grant (RFC 8628) once, from 'kerquill auth ACCOUNT',
// then a refresh grant (RFC 6749 section 6) before every connection. The
// refresh token is kept in the user's state directory, one file per account,
// readable by the user only; no token or client secret is ever printed.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"

namespace kqcli {

// Exit status 77: the account's stored sign-in is missing, expired or revoked;
// 'kerquill auth ACCOUNT' mends it. A failure, so a caller that does not know
// this kind still ends with 1.
constexpr int k_exit_sign_in = 77;  // EX_NOPERM
struct sign_in_needed : failure {
  using failure::failure;
};

// What the account's configuration says about its issuer, presets applied.
struct oauth_settings {
  std::string account;
  std::string device_url, token_url;
  std::string client_id, client_secret;  // secret may be empty (public client)
  std::string scope;                     // may be empty
  std::string ca_file;                   // extra trust for the issuer's HTTPS; empty: the system's
  long timeout_s = 30;
};

// Whether the account settings the configuration filled in ask for OAuth.
bool oauth_configured(const args &a);
// The issuer settings from those options (usage_error when incomplete).
oauth_settings oauth_settings_from(const args &a);

// The provider presets the configuration's oauth_provider may name, and their
// endpoints and scope; false for an unknown name.
bool oauth_preset(const std::string &name, std::string &device_url, std::string &token_url,
                  std::string &scope);

// application/x-www-form-urlencoded body of the given fields, in order.
std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields);

// $XDG_STATE_HOME/kerquill (an absolute one), else ~/.local/state/kerquill;
// %LOCALAPPDATA%\kerquill on Windows. Empty when none can be named.
std::string state_dir();
// The file that holds the account's refresh token (its name made safe for a
// file name).
std::string token_file(const std::string &account);

// The grant as stored: the refresh token and which issuer and client gave it.
struct stored_grant {
  std::string refresh_token, token_url, client_id;
};
// Replaces the file at path with one only the user may read or write, in one
// step (a temporary file renamed over it): a crash leaves the old or the new
// token, never half of one.
void write_grant(const std::string &path, const stored_grant &g);
// False when there is no file; failure when it cannot be read or parsed.
bool read_grant(const std::string &path, stored_grant &g);

// One HTTPS POST of a form; the status and body of the answer. Throws failure
// when no answer came (network, TLS).
struct http_reply {
  long status = 0;
  std::string body;
};
// The HTTPS client (oauth_http_curl.cpp): certificates checked against the
// system's store, or ca_file when given.
http_reply https_post_form(const std::string &url, const std::string &form, const std::string &ca_file,
                           long timeout_s);
using http_post_fn = std::function<http_reply(const std::string &url, const std::string &form)>;

// What the flows need from the world, replaceable by tests.
struct oauth_io {
  http_post_fn post;
  std::function<void(long seconds)> sleep;
  std::function<long long()> now_s;  // a steady clock in seconds
  std::FILE *out = stdout;           // where the user is told what to do
};
// The real thing: libcurl with the settings' CA file and time-out, real sleeps
// and clock.
oauth_io oauth_default_io(const oauth_settings &s);
// False when this build has no HTTPS client (no libcurl).
bool oauth_supported();

// Runs the device authorization grant: prints where to sign in and the code,
// polls the token endpoint at the pace the issuer asks for, and returns the
// grant to store. failure when the user declines, the code expires, or the
// issuer answers otherwise.
stored_grant device_sign_in(const oauth_settings &s, const oauth_io &io);

// A fresh access token from the stored grant. A rotated refresh token in the
// answer is stored in place of the old one. sign_in_needed when there is no
// grant, it belongs to another issuer or client, or the issuer calls it
// invalid (expired or revoked).
std::string refresh_access_token(const oauth_settings &s, const std::string &path, const oauth_io &io);
// The same with the real world and the account's token file.
std::string oauth_access_token(const args &a);

int cmd_auth(const args &a);

}  // namespace kqcli
