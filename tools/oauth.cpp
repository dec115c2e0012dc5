// OAuth 2.0 for the tool: provider presets, the device authorization grant,
// the refresh grant and the per-account token file. The HTTPS client lives in
// oauth_http_curl.cpp (or oauth_http_none.cpp where there is no libcurl).
#include "oauth.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "json.h"

namespace kqcli {

namespace fs = std::filesystem;

namespace {

// An issuer's error text is shown to the user; control bytes could rewrite
// the terminal, so they become '?'.
std::string printable(const std::string &s) {
  std::string out = s.substr(0, 300);
  for (auto &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

// "error" and "error_description" of an error answer (RFC 6749 section
// 5.2), as one phrase.
std::string issuer_error(const jvalue &j, const http_reply &r) {
  std::string code = j["error"].as_str();
  if (code.empty()) return "HTTP status " + std::to_string(r.status) + " without an OAuth error";
  std::string desc = j["error_description"].as_str();
  return printable(code) + (desc.empty() ? "" : " (" + printable(desc) + ")");
}

// A whole number member, also when the issuer sends it as a string.
long long number_member(const jvalue &j, const char *key, long long def) {
  const jvalue &v = j[key];
  if (v.type == jvalue::number) return v.as_int(def);
  if (v.type == jvalue::string && !v.str.empty() && v.str.size() < 10 &&
      v.str.find_first_not_of("0123456789") == std::string::npos)
    return std::stoll(v.str);
  return def;
}

jvalue parse_answer(const http_reply &r, const std::string &url) {
  jvalue j;
  if (!json_parse(r.body, j) || j.type != jvalue::object)
    throw failure("the OAuth issuer at " + url + " answered with HTTP status " + std::to_string(r.status) +
                  " and no JSON object");
  return j;
}

void add_client(std::vector<std::pair<std::string, std::string>> &form, const oauth_settings &s) {
  form.emplace_back("client_id", s.client_id);
  // A confidential client authenticates in the body (RFC 6749 section 2.3.1),
  // which is what the mail providers ask of installed programs.
  if (!s.client_secret.empty()) form.emplace_back("client_secret", s.client_secret);
}

std::string file_safe(const std::string &name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                 c == '-' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

bool oauth_preset(const std::string &name, std::string &device_url, std::string &token_url,
                  std::string &scope) {
  if (name == "google") {
    device_url = "https://oauth2.googleapis.com/device/code";
    token_url = "https://oauth2.googleapis.com/token";
    scope = "https://mail.google.com/";
    return true;
  }
  if (name == "microsoft") {
    device_url = "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode";
    token_url = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
    // Without offline_access the answer carries no refresh token.
    scope = "https://outlook.office.com/IMAP.AccessAsUser.All offline_access";
    return true;
  }
  return false;
}

bool oauth_configured(const args &a) { return a.has("oauth-client-id"); }

oauth_settings oauth_settings_from(const args &a) {
  oauth_settings s;
  s.account = a.value("oauth-account");
  s.client_id = a.value("oauth-client-id");
  s.client_secret = a.value("oauth-client-secret");
  if (a.has("oauth-provider") && !oauth_preset(a.value("oauth-provider"), s.device_url, s.token_url, s.scope))
    throw usage_error("unknown oauth_provider '" + a.value("oauth-provider") + "'");
  s.device_url = a.value("oauth-device-url", s.device_url);
  s.token_url = a.value("oauth-token-url", s.token_url);
  s.scope = a.value("oauth-scope", s.scope);
  s.ca_file = a.value("oauth-ca-file");
  s.timeout_s = static_cast<long>(a.number("timeout", 30));
  if (s.client_id.empty() || s.token_url.empty())
    throw usage_error("account '" + s.account +
                      "' needs oauth_client_id and oauth_provider (or oauth_token_url) for OAuth");
  return s;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>> &fields) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  auto put = [&](const std::string &s) {
    for (unsigned char c : s) {
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
          c == '.' || c == '_' || c == '*')
        out += static_cast<char>(c);
      else if (c == ' ')
        out += '+';
      else {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
      }
    }
  };
  for (const auto &[k, v] : fields) {
    if (!out.empty()) out += '&';
    put(k);
    out += '=';
    put(v);
  }
  return out;
}

std::string state_dir() {
#ifdef _WIN32
  std::string local = env("LOCALAPPDATA");
  return local.empty() ? "" : local + "\\kerquill";
#else
  std::string dir = env("XDG_STATE_HOME");
  // The XDG rules ignore a relative path.
  if (!dir.empty() && dir[0] == '/') return dir + "/kerquill";
  std::string home = env("HOME");
  return home.empty() ? "" : home + "/.local/state/kerquill";
#endif
}

std::string token_file(const std::string &account) {
  std::string dir = state_dir();
  if (dir.empty())
    throw failure("no place for the sign-in: set XDG_STATE_HOME or HOME"
#ifdef _WIN32
                  " (LOCALAPPDATA is not set)"
#endif
    );
  return (fs::path(dir) / "oauth" / (file_safe(account) + ".json")).string();
}

void write_grant(const std::string &path, const stored_grant &g) {
  fs::path dir = fs::path(path).parent_path();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw failure("cannot create " + dir.string() + ": " + ec.message());
  // The folder holds nothing but sign-ins: nobody else needs to list it.
  fs::permissions(dir, fs::perms::owner_all, ec);

  json_object o;
  o.secret("refresh_token", g.refresh_token).str("token_url", g.token_url).str("client_id", g.client_id);
  std::string text = o.text() + "\n";
#ifdef _WIN32
  std::string tmp = path + ".tmp" + std::to_string(_getpid());
  {
    // %LOCALAPPDATA% is private to the user by its access list.
    std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
    f << text;
    f.flush();
    bool ok = static_cast<bool>(f);
    f.close();
    wipe(text);
    if (!ok) {
      fs::remove(tmp, ec);
      throw failure("cannot write " + tmp);
    }
  }
#else
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  // Created 0600 from the start: there is no moment in which others could
  // open it.
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    std::string why = std::strerror(errno);
    wipe(text);
    throw failure("cannot create " + tmp + ": " + why);
  }
  bool ok = ::fchmod(fd, 0600) == 0;  // a file left by a crash may have other bits
  std::size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  wipe(text);
  if (!ok) {
    std::string why = std::strerror(errno);
    ::unlink(tmp.c_str());
    throw failure("cannot write " + tmp + ": " + why);
  }
#endif
  fs::rename(tmp, path, ec);
  if (ec) {
    std::error_code ignore;
    fs::remove(tmp, ignore);
    throw failure("cannot replace " + path + ": " + ec.message());
  }
}

bool read_grant(const std::string &path, stored_grant &g) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return false;
    throw failure("cannot read " + path);
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string body = text.str();
  jvalue j;
  bool ok = json_parse(body, j) && j.type == jvalue::object;
  wipe(body);
  if (!ok || j["refresh_token"].as_str().empty())
    throw sign_in_needed("the sign-in file " + path + " is damaged: run 'kerquill auth ACCOUNT' again");
  g.refresh_token = j["refresh_token"].as_str();
  g.token_url = j["token_url"].as_str();
  g.client_id = j["client_id"].as_str();
  return true;
}

oauth_io oauth_default_io(const oauth_settings &s) {
  oauth_io io;
  io.post = [s](const std::string &url, const std::string &form) {
    return https_post_form(url, form, s.ca_file, s.timeout_s);
  };
  io.sleep = [](long seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); };
  io.now_s = [] {
    return static_cast<long long>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  return io;
}

stored_grant device_sign_in(const oauth_settings &s, const oauth_io &io) {
  if (s.device_url.empty())
    throw usage_error("account '" + s.account + "' names no device authorization endpoint (oauth_device_url)");
  std::vector<std::pair<std::string, std::string>> form{{"client_id", s.client_id}};
  if (!s.scope.empty()) form.emplace_back("scope", s.scope);
  say(1, "asking " + s.device_url + " for a user code");
  http_reply r = io.post(s.device_url, form_encode(form));
  jvalue j = parse_answer(r, s.device_url);
  if (r.status != 200) throw failure("the issuer refused the sign-in request: " + issuer_error(j, r));
  std::string device_code = j["device_code"].as_str(), user_code = j["user_code"].as_str();
  // The name the standard gives, and the one Google's endpoint uses.
  std::string uri = j["verification_uri"].as_str();
  if (uri.empty()) uri = j["verification_url"].as_str();
  if (device_code.empty() || user_code.empty() || uri.empty())
    throw failure("the issuer's answer at " + s.device_url + " lacks device_code, user_code or verification_uri");
  // Five seconds when the issuer names no interval (RFC 8628 section 3.2).
  long interval = static_cast<long>(number_member(j, "interval", 5));
  long long expires_in = number_member(j, "expires_in", 1800);
  const long long deadline = io.now_s() + expires_in;

  std::fprintf(io.out,
               "To sign in account '%s', open this address in a browser (on any device):\n  %s\n"
               "and enter the code:\n  %s\n",
               s.account.c_str(), printable(uri).c_str(), printable(user_code).c_str());
  std::fprintf(io.out, "Waiting for the sign-in (the code is valid for %lld minutes)...\n",
               (expires_in + 59) / 60);
  std::fflush(io.out);

  std::vector<std::pair<std::string, std::string>> poll{
      {"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"device_code", device_code}};
  add_client(poll, s);
  const std::string poll_form = form_encode(poll);
  const std::string expired = "the code expired before the sign-in was finished: run 'kerquill auth " +
                              s.account + "' again";
  int lost_answers = 0;
  for (;;) {
    if (io.now_s() >= deadline) throw failure(expired);
    io.sleep(interval);
    http_reply p;
    try {
      p = io.post(s.token_url, poll_form);
    } catch (const failure &e) {
      // A lost answer while the user signs in need not waste the code: wait
      // twice as long and ask again (RFC 8628 section 3.5), a few times.
      if (++lost_answers > 3) throw;
      interval = interval < 1 ? 1 : interval * 2;
      say(1, std::string(e.what()) + "; asking again in " + std::to_string(interval) + " seconds");
      continue;
    }
    jvalue t = parse_answer(p, s.token_url);
    if (p.status == 200 && !t["access_token"].as_str().empty()) {
      stored_grant g{t["refresh_token"].as_str(), s.token_url, s.client_id};
      if (g.refresh_token.empty())
        throw failure("the issuer granted access but sent no refresh token, so the sign-in could not be kept "
                      "(Microsoft needs the offline_access scope)");
      return g;
    }
    const std::string &err = t["error"].as_str();
    if (err == "authorization_pending") continue;
    if (err == "slow_down") {
      // RFC 8628 section 3.5: this and every later poll 5 seconds slower.
      interval += 5;
      say(1, "the issuer asks to poll more slowly: every " + std::to_string(interval) + " seconds");
      continue;
    }
    if (err == "expired_token") throw failure(expired);
    if (err == "access_denied") throw failure("the sign-in was declined in the browser");
    throw failure("the issuer refused the sign-in: " + issuer_error(t, p));
  }
}

std::string refresh_access_token(const oauth_settings &s, const std::string &path, const oauth_io &io) {
  const std::string again = "run 'kerquill auth " + s.account + "' again";
  stored_grant g;
  if (!read_grant(path, g))
    throw sign_in_needed("account '" + s.account + "' is not signed in (no " + path + "): run 'kerquill auth " +
                         s.account + "' first");
  if (g.token_url != s.token_url || g.client_id != s.client_id) {
    wipe(g.refresh_token);
    throw sign_in_needed("the sign-in of account '" + s.account +
                         "' was made with another issuer or client id: " + again);
  }
  std::vector<std::pair<std::string, std::string>> form{{"grant_type", "refresh_token"},
                                                        {"refresh_token", g.refresh_token}};
  add_client(form, s);
  // The scope first granted, once more (RFC 6749 section 6): Microsoft asks
  // for it on every refresh.
  if (!s.scope.empty()) form.emplace_back("scope", s.scope);
  std::string body = form_encode(form);
  for (auto &f : form) wipe(f.second);
  say(1, "asking " + s.token_url + " for a fresh access token");
  http_reply r = io.post(s.token_url, body);
  wipe(body);
  jvalue j = parse_answer(r, s.token_url);
  wipe(r.body);
  std::string access = j["access_token"].as_str();
  if (r.status != 200 || access.empty()) {
    wipe(g.refresh_token);
    // invalid_grant: the refresh token expired, was revoked, or the password
    // changed (RFC 6749 section 5.2); only a new sign-in helps.
    if (j["error"].as_str() == "invalid_grant")
      throw sign_in_needed("the sign-in of account '" + s.account + "' has expired or was revoked (" +
                           issuer_error(j, r) + "): " + again);
    throw failure("the issuer gave no access token: " + issuer_error(j, r));
  }
  const std::string &rotated = j["refresh_token"].as_str();
  if (!rotated.empty() && rotated != g.refresh_token) {
    g.refresh_token = rotated;
    write_grant(path, g);
    say(1, "stored the new refresh token the issuer sent");
  }
  wipe(g.refresh_token);
  return access;
}

std::string oauth_access_token(const args &a) {
  oauth_settings s = oauth_settings_from(a);
  return refresh_access_token(s, token_file(s.account), oauth_default_io(s));
}

int cmd_auth(const args &a) {
  if (!oauth_supported())
    throw failure("this build of kerquill has no OAuth support (it was built without libcurl); use "
                  "oauth_token_command with a helper program instead");
  if (!oauth_configured(a)) {
    if (a.positional.empty())
      throw usage_error("'auth' takes ACCOUNT, an account of the configuration file with OAuth settings");
    throw usage_error("account '" + a.positional[0] +
                      "' has no OAuth settings: give it oauth_client_id and oauth_provider (or "
                      "oauth_device_url and oauth_token_url)");
  }
  oauth_settings s = oauth_settings_from(a);
  std::string path = token_file(s.account);
  stored_grant g = device_sign_in(s, oauth_default_io(s));
  write_grant(path, g);
  wipe(g.refresh_token);
  std::printf("Signed in. Account '%s' now gets its access tokens by itself; the refresh token is in %s\n",
              s.account.c_str(), path.c_str());
  return 0;
}

}  // namespace kqcli
