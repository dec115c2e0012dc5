#include "support/dovecot_server.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

#include "base/text.h"
#include "support/platform/net.h"

namespace kqtest {

namespace {

constexpr int kDoveadmTimeoutMs = 30000;
constexpr int kReadyTimeoutMs = 10000;
// Dovecot normally exits about 1 s after SIGTERM; a login process stuck
// with a half-done TLS handshake can hold it up far longer. Once the master
// is gone its children notice and exit on their own.
constexpr int kStopGraceMs = 2000;

std::string base64(const std::string &in) {
  static const char tbl[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  while (i + 2 < in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += tbl[(v >> 6) & 63];
    out += tbl[v & 63];
    i += 3;
  }
  if (i + 1 == in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                 (static_cast<unsigned char>(in[i + 1]) << 8);
    out += tbl[(v >> 18) & 63];
    out += tbl[(v >> 12) & 63];
    out += tbl[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// MD5 hex digest (RFC 1321). Dovecot names each user's passwd-file after
// the MD5 of the user name (see the config), so we must compute the same.
std::string md5_hex(const std::string &msg) {
  static const uint32_t k[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a,
      0xa8304613, 0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
      0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340,
      0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8,
      0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
      0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
      0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92,
      0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
      0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  std::string data = msg;
  uint64_t bits = static_cast<uint64_t>(msg.size()) * 8;
  data += static_cast<char>(0x80);
  while (data.size() % 64 != 56) data += '\0';
  for (int i = 0; i < 8; ++i) data += static_cast<char>((bits >> (8 * i)) & 0xff);
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (size_t off = 0; off < data.size(); off += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      const unsigned char *p = reinterpret_cast<const unsigned char *>(data.data()) + off + 4 * i;
      w[i] = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
             (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      uint32_t tmp = d;
      d = c;
      c = b;
      uint32_t x = a + f + k[i] + w[g];
      b = b + ((x << r[i]) | (x >> (32 - r[i])));
      a = tmp;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
  }
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (uint32_t v : h)
    for (int i = 0; i < 4; ++i) {
      unsigned char byte = static_cast<unsigned char>((v >> (8 * i)) & 0xff);
      out += hex[byte >> 4];
      out += hex[byte & 15];
    }
  return out;
}

std::string read_file(const std::string &path) {
  std::string data;
  return platform::read_file(path, &data) ? data : "";
}

std::string tail_lines(const std::string &text, int max_lines) {
  size_t pos = text.size();
  if (pos > 0 && text[pos - 1] == '\n') --pos;
  int lines = 0;
  while (pos > 0) {
    size_t nl = text.rfind('\n', pos - 1);
    if (nl == std::string::npos) {
      pos = 0;
      break;
    }
    if (++lines >= max_lines) {
      pos = nl + 1;
      break;
    }
    pos = nl;
  }
  return text.substr(pos);
}

std::vector<std::string> split(const std::string &s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = s.find(sep, start);
    if (end == std::string::npos) {
      out.push_back(s.substr(start));
      return out;
    }
    out.push_back(s.substr(start, end - start));
    start = end + 1;
  }
}

// Rows of doveadm's "-f tab" output as header -> value maps.
std::vector<std::map<std::string, std::string>> parse_tab(
    const std::string &out) {
  std::vector<std::map<std::string, std::string>> rows;
  std::vector<std::string> lines = split(out, '\n');
  if (lines.empty()) return rows;
  std::vector<std::string> head = split(lines[0], '\t');
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    std::vector<std::string> cells = split(lines[i], '\t');
    std::map<std::string, std::string> row;
    for (size_t c = 0; c < head.size() && c < cells.size(); ++c)
      row[head[c]] = cells[c];
    rows.push_back(std::move(row));
  }
  return rows;
}

bool parse_uint(const std::string &s, unsigned *out) {
  if (s.empty() || s.size() > 10) return false;
  unsigned long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > 0xffffffffULL) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

bool iequals(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// IMAP system flags -> maildir info letters (sorted, as maildir wants).
bool maildir_letters(const std::string &flags, std::string *letters,
                     std::string *err) {
  static const std::pair<const char *, char> table[] = {
      {"\\Draft", 'D'},  {"\\Flagged", 'F'}, {"\\Answered", 'R'},
      {"\\Seen", 'S'},   {"\\Deleted", 'T'},
  };
  std::string out;
  std::istringstream in(flags);
  std::string word;
  while (in >> word) {
    bool found = false;
    for (const auto &[name, letter] : table) {
      if (iequals(word, name)) {
        if (out.find(letter) == std::string::npos) out += letter;
        found = true;
      }
    }
    if (!found) {
      *err = "unsupported flag for append: " + word;
      return false;
    }
  }
  std::sort(out.begin(), out.end());
  *letters = out;
  return true;
}

bool valid_text(const std::string &s) {
  return s.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

}  // namespace

std::string json_quote(const std::string &s) {
  // The library's own JSON string writer, so tests quote exactly as it does.
  std::string out;
  kq::json_append_str(out, s);
  return out;
}

DovecotServer::DovecotServer() = default;

DovecotServer::~DovecotServer() { stop(); }

std::string DovecotServer::start_error() const {
  std::lock_guard<std::mutex> lk(mu_);
  return start_error_;
}

std::string DovecotServer::last_error() const {
  std::lock_guard<std::mutex> lk(mu_);
  return last_error_;
}

bool DovecotServer::fail(const std::string &msg) {
  std::lock_guard<std::mutex> lk(mu_);
  last_error_ = msg;
  return false;
}

std::string DovecotServer::log_tail(int max_lines) const {
  if (dir_.empty()) return "(no server directory)";
  std::string out;
  std::string log = read_file(dir_ + "/dovecot.log");
  if (!log.empty()) out += "--- dovecot.log (tail)\n" + tail_lines(log, max_lines);
  std::string so = read_file(dir_ + "/stdout.log");
  if (!so.empty()) out += "--- dovecot stdout/stderr (tail)\n" + tail_lines(so, max_lines);
  return out.empty() ? "(logs are empty)" : out;
}

bool DovecotServer::start(std::string *err) {
  stop();
  std::string e;
  bool ok = false;
  // A free port can be taken by someone else between our probe and
  // Dovecot's bind; a fresh attempt picks new ports.
  for (int attempt = 0; attempt < 3 && !ok; ++attempt) {
    ok = start_once(&e);
    if (!ok) stop();
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    start_error_ = ok ? "" : "Dovecot test server did not start: " + e;
    if (err) *err = start_error_;
  }
  return ok;
}

bool DovecotServer::start_once(std::string *err) {
  auto bad = [&](const std::string &m) {
    *err = m;
    return false;
  };
  if (!platform::is_superuser())
    return bad("the test binary must run as root to start Dovecot");
  dovecot_bin_ = platform::find_program("dovecot");
  doveadm_bin_ = platform::find_program("doveadm");
  std::string openssl = platform::find_program("openssl");
  if (dovecot_bin_.empty() || doveadm_bin_.empty())
    return bad("dovecot/doveadm not installed (Debian: dovecot-imapd)");
  if (openssl.empty()) return bad("openssl command not installed");
  if (!platform::account_ids("nobody", &mail_uid_, &mail_gid_)) {
    mail_uid_ = 65534;
    mail_gid_ = 65534;
  }

  dir_ = platform::make_temp_dir("/tmp/kqd");
  if (dir_.empty()) return bad("cannot create a directory under /tmp");
  owner_pid_ = platform::current_pid();
  for (const char *sub : {"run", "state", "home", "users"}) platform::make_directory(dir_ + "/" + sub);
  // Mail processes run as nobody and must reach their homes below here.
  platform::set_mode(dir_, 0755);
  platform::set_mode(dir_ + "/home", 0755);

  // EC keys take milliseconds to make, RSA ones far longer.
  platform::RunResult cert = platform::run(
      {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
       "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir_ + "/key.pem",
       "-out", dir_ + "/cert.pem", "-days", "3650", "-subj", "/CN=localhost",
       "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"},
      "", 30000);
  if (cert.exit_code != 0)
    return bad("openssl could not make the certificate: " + cert.err + cert.error);

  plain_port_ = platform::free_loopback_port();
  do {
    tls_port_ = platform::free_loopback_port();
  } while (tls_port_ == plain_port_ && tls_port_ != 0);
  if (plain_port_ == 0 || tls_port_ == 0) return bad("no free loopback port");

  std::ostringstream c;
  c << "# Throwaway server for the kerquill integration tests.\n"
    << "base_dir = " << dir_ << "/run\n"
    << "state_dir = " << dir_ << "/state\n"
    << "instance_name = kqd-" << plain_port_ << "\n"
    << "log_path = " << dir_ << "/dovecot.log\n"
    << "log_timestamp = \"%H:%M:%S.%{usecs} \"\n"
    << "protocols = imap\n"
    << "listen = 127.0.0.1\n"
    // Fixed zone so INTERNALDATE strings are predictable.
    << "import_environment = TZ=UTC\n"
    << "ssl = yes\n"
    << "ssl_cert = <" << dir_ << "/cert.pem\n"
    << "ssl_key = <" << dir_ << "/key.pem\n"
    << "ssl_min_protocol = TLSv1.2\n"
    << "disable_plaintext_auth = no\n"
    << "auth_mechanisms = plain login xoauth2 oauthbearer\n"
    // Without these every failed login costs 2 s or more.
    << "auth_failure_delay = 0\n"
    << "service anvil {\n  unix_listener anvil-auth-penalty {\n    mode = 0\n  }\n}\n"
    // Let tests use user names that need quoting.
    << "auth_username_chars =\n"
    << "auth_verbose = yes\n"
    << "first_valid_uid = 1\n"
    << "mail_location = maildir:~/Maildir:LAYOUT=fs\n"
    << "mail_fsync = never\n"
    << "mail_max_userip_connections = " << max_user_connections_ << "\n"
    << "namespace inbox {\n  inbox = yes\n  separator = /\n}\n"
    // COMPRESS=DEFLATE is offered, so every connection that does not turn
    // it off runs compressed.
    << "mail_plugins = $mail_plugins zlib\n"
    << "protocol imap {\n  mail_plugins = $mail_plugins imap_zlib\n}\n"
    // One passwd-file per user, named by the MD5 of the name. Dovecot
    // re-checks a passwd-file at most once a second, so with a single file
    // a user added right after someone's login would stay unknown for up
    // to a second; a new user's file is new to Dovecot and read at once.
    // Each file holds one entry under the fixed key "entry": a key built
    // from the name would be matched after Dovecot backslash-escapes its
    // quotes and backslashes, so such names would never match.
    << "auth_username_format = %u\n"
    << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=entry "
    << dir_ << "/users/%{md5:user}\n}\n"
    << "userdb {\n  driver = passwd-file\n  args = username_format=entry " << dir_
    << "/users/%{md5:user}\n}\n"
    << "service imap-login {\n"
    << "  inet_listener imap {\n    port = " << plain_port_ << "\n  }\n"
    << "  inet_listener imaps {\n    port = " << tls_port_ << "\n    ssl = yes\n  }\n"
    << "}\n";
  if (!platform::write_file(config_file(), c.str(), 0644))
    return bad("cannot write " + config_file());

  std::string spawn_err;
  if (!platform::spawn_background({dovecot_bin_, "-F", "-c", config_file()},
                                  dir_ + "/stdout.log", dir_, &proc_, &spawn_err))
    return bad("cannot start dovecot: " + spawn_err);

  // The port opens before the server can serve; the greeting is the sign.
  const long long deadline = platform::now_ms() + kReadyTimeoutMs;
  bool ready = false;
  std::string last;
  while (platform::now_ms() < deadline) {
    if (!platform::background_running(proc_))
      return bad("dovecot exited during start-up\n" + log_tail());
    platform::Socket s = platform::Socket::connect_loopback(plain_port_, 1000, &last);
    std::string line;
    // Only the plain port is probed: the master binds both listeners before
    // it serves either, and a connection dropped mid-TLS-handshake can keep
    // a login process (and so the master's shutdown) waiting.
    if (s.valid() && s.read_line(&line, 1000) && line.rfind("* OK", 0) == 0) {
      ready = true;
      break;
    }
    platform::sleep_ms(10);
  }
  if (!ready)
    return bad("dovecot did not greet within " + std::to_string(kReadyTimeoutMs) +
               " ms (" + last + ")\n" + log_tail());
  started_ = true;
  return true;
}

void DovecotServer::stop() {
  // A forked child (a death test, say) shares our state but not our
  // children: it must leave the server alone.
  if (owner_pid_ != 0 && owner_pid_ != platform::current_pid()) return;
  if (proc_.pid > 0 || proc_.watchdog > 0) platform::stop_background(proc_, kStopGraceMs);
  if (!dir_.empty()) platform::remove_tree(dir_);
  std::lock_guard<std::mutex> lk(mu_);
  dir_.clear();
  started_ = false;
  plain_port_ = tls_port_ = 0;
  users_.clear();
  owner_pid_ = 0;
}

bool DovecotServer::running() {
  return started_ && platform::background_running(proc_);
}

bool DovecotServer::write_user_file(User &u) {
  // Base64 lets passwords hold ':' which the file format would split on.
  std::string line = "entry:{PLAIN.b64}" + base64(u.password) + ":" +
                     std::to_string(mail_uid_) + ":" + std::to_string(mail_gid_) + "::" +
                     u.home + "::\n";
  std::string path = dir_ + "/users/" + md5_hex(u.name);
  std::string tmp = path + ".tmp";
  if (!platform::write_file(tmp, line, 0644)) return false;
  // Dovecot spots a change by size or mtime; a password of the same length
  // changed within the same second would go unseen, so the mtime always
  // moves forward.
  long long now = static_cast<long long>(std::time(nullptr));
  u.file_mtime = std::max(now, u.file_mtime + 1);
  platform::set_mtime(tmp, u.file_mtime);
  return platform::rename_path(tmp, path, nullptr);
}

bool DovecotServer::add_user(const std::string &user, const std::string &password) {
  if (user.empty() || !valid_text(user))
    return fail("user name is empty or holds CR, LF or NUL");
  if (!valid_text(password)) return fail("password holds CR, LF or NUL");
  long long changed_at = 0;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (dir_.empty()) {
      last_error_ = "server not started";
      return false;
    }
    auto it = std::find_if(users_.begin(), users_.end(),
                           [&](const User &u) { return u.name == user; });
    if (it != users_.end()) {
      it->password = password;
      if (!write_user_file(*it)) {
        last_error_ = "cannot rewrite the passwd-file of " + user;
        return false;
      }
      changed_at = static_cast<long long>(std::time(nullptr));
    } else {
      User u{user, password, dir_ + "/home/" + std::to_string(users_.size() + 1), 0};
      if (!platform::make_directory(u.home) || !platform::set_owner(u.home, mail_uid_, mail_gid_) ||
          !platform::set_mode(u.home, 0700)) {
        last_error_ = "cannot create home " + u.home;
        return false;
      }
      if (!write_user_file(u)) {
        last_error_ = "cannot write the passwd-file of " + user;
        return false;
      }
      users_.push_back(u);
    }
  }
  // Dovecot may already have checked this user's file during the current
  // second and will not look again before the next one.
  while (changed_at != 0 && static_cast<long long>(std::time(nullptr)) <= changed_at)
    platform::sleep_ms(10);
  return true;
}

std::string DovecotServer::unique_user(const std::string &hint) {
  std::lock_guard<std::mutex> lk(mu_);
  return hint + "-" + std::to_string(++name_counter_);
}

int DovecotServer::doveadm(const std::vector<std::string> &args, std::string *out,
                           std::string *err) {
  std::string conf;
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (dir_.empty()) {
      last_error_ = "server not started";
      return -1;
    }
    conf = dir_ + "/dovecot.conf";
  }
  std::vector<std::string> argv = {doveadm_bin_, "-c", conf};
  argv.insert(argv.end(), args.begin(), args.end());
  platform::RunResult r = platform::run(argv, "", kDoveadmTimeoutMs);
  if (out) *out = r.out;
  if (err) *err = r.err;
  if (!r.started) {
    fail("doveadm did not run: " + r.error);
    return -1;
  }
  if (r.exit_code != 0) {
    std::string cmd;
    for (const auto &a : args) cmd += " " + a;
    fail("doveadm" + cmd + " -> exit " + std::to_string(r.exit_code) +
         (r.timed_out ? " (timed out)" : "") + ": " + r.err);
  }
  return r.exit_code;
}

bool DovecotServer::create_folder(const std::string &user, const std::string &name) {
  return doveadm({"mailbox", "create", "-u", user, "--", name}) == 0;
}

bool DovecotServer::delete_folder(const std::string &user, const std::string &name) {
  return doveadm({"mailbox", "delete", "-u", user, "--", name}) == 0;
}

bool DovecotServer::rename_folder(const std::string &user, const std::string &from,
                                  const std::string &to) {
  return doveadm({"mailbox", "rename", "-u", user, "--", from, to}) == 0;
}

std::string DovecotServer::folder_path(const std::string &user,
                                       const std::string &folder) {
  std::string out;
  if (doveadm({"mailbox", "path", "-u", user, "--", folder}, &out) != 0) return "";
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

bool DovecotServer::status(const std::string &user, const std::string &folder,
                           Status *st) {
  std::string out;
  if (doveadm({"-f", "tab", "mailbox", "status", "-u", user,
               "messages uidnext uidvalidity", "--", folder},
              &out) != 0)
    return false;
  auto rows = parse_tab(out);
  if (rows.size() != 1) return fail("unexpected doveadm status output: " + out);
  auto &row = rows[0];
  if (!parse_uint(row["messages"], &st->messages) ||
      !parse_uint(row["uidnext"], &st->uidnext) ||
      !parse_uint(row["uidvalidity"], &st->uidvalidity))
    return fail("unexpected doveadm status output: " + out);
  return true;
}

bool DovecotServer::ensure_maildir(const std::string &user, const std::string &folder,
                                   std::string *path) {
  *path = folder_path(user, folder);
  if (path->empty()) return false;
  if (!platform::is_directory(*path + "/cur")) {
    // INBOX exists implicitly but its directories appear on first access.
    if (!iequals(folder, "INBOX"))
      return fail("folder '" + folder + "' of " + user + " does not exist");
    Status st;
    if (!status(user, folder, &st)) return false;
    if (!platform::is_directory(*path + "/cur"))
      return fail("INBOX of " + user + " has no maildir at " + *path);
  }
  for (const char *sub : {"tmp", "new"}) {
    std::string d = *path + "/" + sub;
    if (!platform::is_directory(d)) {
      platform::make_directory(d);
      platform::set_owner(d, mail_uid_, mail_gid_);
      platform::set_mode(d, 0700);
    }
  }
  return true;
}

bool DovecotServer::guid_to_uid(const std::string &user, const std::string &folder,
                                std::vector<std::pair<std::string, unsigned>> *out) {
  std::string text;
  if (doveadm({"-f", "tab", "fetch", "-u", user, "uid guid", "mailbox", folder, "all"},
              &text) != 0)
    return false;
  out->clear();
  for (auto &row : parse_tab(text)) {
    unsigned uid;
    if (!parse_uint(row["uid"], &uid)) return fail("unexpected doveadm fetch output: " + text);
    out->emplace_back(row["guid"], uid);
  }
  return true;
}

unsigned DovecotServer::append(const std::string &user, const std::string &folder,
                               const std::string &rfc822_bytes,
                               long long internal_date_unix, const std::string &flags) {
  std::vector<unsigned> u =
      append_many(user, folder, {Message{rfc822_bytes, internal_date_unix, flags}});
  return u.size() == 1 ? u[0] : 0;
}

std::vector<unsigned> DovecotServer::append_many(const std::string &user,
                                                 const std::string &folder,
                                                 const std::vector<Message> &messages) {
  std::string path;
  if (!ensure_maildir(user, folder, &path)) return {};
  // The file is written the way a delivery agent would (tmp/, then renamed
  // into place) with its mtime already set, so Dovecot reads the intended
  // INTERNALDATE the first time it sees the message. Saving through doveadm
  // instead caches the save time, which a later mtime change cannot undo.
  // New files get UIDs in name order; names begin with a time that never
  // goes backwards and a zero-padded counter, so that order is ours.
  std::vector<std::string> names;
  for (const Message &m : messages) {
    std::string letters, ferr;
    if (!maildir_letters(m.flags, &letters, &ferr)) {
      fail(ferr);
      return {};
    }
    std::string name;
    {
      std::lock_guard<std::mutex> lk(mu_);
      long long now = static_cast<long long>(std::time(nullptr));
      last_file_sec_ = std::max(now, last_file_sec_);
      char buf[96];
      std::snprintf(buf, sizeof buf, "%lld.M%09uP%ld.kqtest", last_file_sec_,
                    ++file_counter_, platform::current_pid());
      name = buf;
    }
    std::string tmp = path + "/tmp/" + name;
    long long date = m.internal_date != 0 ? m.internal_date
                                          : static_cast<long long>(std::time(nullptr));
    if (!platform::write_file(tmp, m.bytes, 0600) ||
        !platform::set_owner(tmp, mail_uid_, mail_gid_) ||
        !platform::set_mtime(tmp, date)) {
      fail("cannot write " + tmp);
      return {};
    }
    std::string dest = letters.empty() ? path + "/new/" + name
                                       : path + "/cur/" + name + ":2," + letters;
    std::string why;
    if (!platform::rename_path(tmp, dest, &why)) {
      fail("cannot move " + tmp + " into place: " + why);
      return {};
    }
    names.push_back(name);
  }
  std::vector<std::pair<std::string, unsigned>> map;
  if (!guid_to_uid(user, folder, &map)) return {};
  std::vector<unsigned> uids;
  for (const std::string &n : names) {
    auto it = std::find_if(map.begin(), map.end(),
                           [&](const auto &p) { return p.first == n; });
    if (it == map.end()) {
      fail("Dovecot did not pick up appended message " + n);
      return {};
    }
    uids.push_back(it->second);
  }
  return uids;
}

bool DovecotServer::expunge(const std::string &user, const std::string &folder,
                            unsigned uid) {
  return doveadm({"expunge", "-u", user, "mailbox", folder, "uid",
                  std::to_string(uid)}) == 0;
}

std::vector<unsigned> DovecotServer::uids(const std::string &user,
                                          const std::string &folder) {
  std::string text;
  std::vector<unsigned> out;
  if (doveadm({"-f", "tab", "fetch", "-u", user, "uid", "mailbox", folder, "all"},
              &text) != 0)
    return out;
  for (auto &row : parse_tab(text)) {
    unsigned uid;
    if (parse_uint(row["uid"], &uid)) out.push_back(uid);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string DovecotServer::fetch_raw(const std::string &user, const std::string &folder,
                                     unsigned uid) {
  std::string path = folder_path(user, folder);
  if (path.empty()) return "";
  // A maildir file's base name is its GUID; the rest of the name holds
  // flags and changes, and Dovecot may move it from new/ to cur/ at any
  // time, so look again if it moved under us.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string text;
    if (doveadm({"-f", "tab", "fetch", "-u", user, "guid", "mailbox", folder, "uid",
                 std::to_string(uid)},
                &text) != 0)
      return "";
    auto rows = parse_tab(text);
    if (rows.empty()) {
      fail("no message with UID " + std::to_string(uid) + " in " + folder);
      return "";
    }
    const std::string guid = rows[0]["guid"];
    for (const char *sub : {"cur", "new"}) {
      const std::string d = path + "/" + sub;
      for (const std::string &fn : platform::list_directory(d)) {
        std::string bytes;
        if ((fn == guid || fn.rfind(guid + ":", 0) == 0) && platform::read_file(d + "/" + fn, &bytes))
          return bytes;
      }
    }
  }
  fail("message file for UID " + std::to_string(uid) + " not found");
  return "";
}

bool DovecotServer::set_uid_start(const std::string &user, const std::string &folder,
                                  unsigned first_uid) {
  Status st;
  if (!status(user, folder, &st)) {
    if (!create_folder(user, folder) || !status(user, folder, &st)) return false;
  }
  if (st.messages != 0)
    return fail("set_uid_start needs an empty folder; " + folder + " has " +
                std::to_string(st.messages) + " messages");
  if (doveadm({"mailbox", "update", "-u", user, "--min-next-uid",
               std::to_string(first_uid), "--", folder}) != 0)
    return false;
  if (!status(user, folder, &st)) return false;
  if (st.uidnext < first_uid)
    return fail("UIDNEXT stayed at " + std::to_string(st.uidnext));
  return true;
}

bool DovecotServer::set_uidvalidity(const std::string &user, const std::string &folder,
                                    unsigned uidvalidity) {
  if (doveadm({"mailbox", "update", "-u", user, "--uid-validity",
               std::to_string(uidvalidity), "--", folder}) != 0)
    return false;
  Status st;
  if (!status(user, folder, &st)) return false;
  if (st.uidvalidity != uidvalidity)
    return fail("UIDVALIDITY stayed at " + std::to_string(st.uidvalidity));
  return true;
}

std::string DovecotServer::connect_json(const std::string &user, const std::string &pass,
                                        bool tls, const std::string &extra_members) const {
  std::string j = "{\"host\":\"127.0.0.1\",\"port\":" +
                  std::to_string(tls ? tls_port_ : plain_port_) +
                  ",\"ssl\":" + (tls ? "1" : "0") + ",\"user\":" + json_quote(user) +
                  ",\"pass\":" + json_quote(pass) + ",\"tls_verify\":0";
  if (!extra_members.empty()) j += "," + extra_members;
  return j + "}";
}

DovecotServer &shared_dovecot() {
  // Function-local statics: started once even if tests run in threads, and
  // destroyed (so stopped) when the test binary exits.
  static DovecotServer server;
  static const bool started = server.start();
  (void)started;
  return server;
}

std::string connect_json(const std::string &user, const std::string &pass, bool tls,
                         const std::string &extra_members) {
  return shared_dovecot().connect_json(user, pass, tls, extra_members);
}

}  // namespace kqtest
