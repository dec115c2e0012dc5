// Windows half of the tests' OS layer.
//
// The Dovecot the integration tests drive is a Linux daemon managed with
// Linux tools (dovecot, doveadm, openssl, chown). Under Wine a Windows
// process cannot start or own Linux processes, so when KQ_TEST_HOST_AGENT
// names the port of tests/support/host_agent.py on 127.0.0.1, the process,
// account and file calls go to that helper, which runs them on the Linux
// side: it can also name the maildir of a folder whose name holds a quote or
// a backslash, which a Windows process cannot. Without it they report that they are not available, and the
// Dovecot-backed tests fail to start their server rather than pass by
// accident. Paths stay Linux paths: Wine reads "/tmp/..." on the Unix root
// drive as long as the current directory is on it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <system_error>

#include <yyjson.h>

#include "support/platform/net.h"
#include "support/platform/os.h"

namespace kqtest::platform {

namespace {

const char *const k_no_process = "starting programs needs the host agent (KQ_TEST_HOST_AGENT) in the Windows test build";

int agent_port() {
  const char *p = std::getenv("KQ_TEST_HOST_AGENT");
  return p && *p ? std::atoi(p) : 0;
}

std::string quote(const std::string &s) {
  std::string o = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      o += '\\';
      o += static_cast<char>(c);
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  return o + "\"";
}

std::string hex(const std::string &s) {
  static const char digits[] = "0123456789abcdef";
  std::string o;
  o.reserve(s.size() * 2);
  for (unsigned char c : s) {
    o += digits[c >> 4];
    o += digits[c & 15];
  }
  return "\"" + o + "\"";
}

std::string unhex(const char *h) {
  std::string o;
  if (!h) return o;
  auto val = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (; h[0] && h[1]; h += 2) o += static_cast<char>(val(h[0]) * 16 + val(h[1]));
  return o;
}

std::string args_json(const std::vector<std::string> &argv) {
  std::string o = "[";
  for (std::size_t i = 0; i < argv.size(); ++i) o += (i ? "," : "") + quote(argv[i]);
  return o + "]";
}

// One request: {"op":..., members}; the parsed reply, or null (with *err).
struct reply {
  yyjson_doc *doc = nullptr;
  ~reply() { if (doc) yyjson_doc_free(doc); }
  yyjson_val *get(const char *key) const { return doc ? yyjson_obj_get(yyjson_doc_get_root(doc), key) : nullptr; }
  bool flag(const char *key) const { return yyjson_is_true(get(key)); }
  long long num(const char *key, long long dflt) const {
    yyjson_val *v = get(key);
    return yyjson_is_int(v) ? yyjson_get_sint(v) : dflt;
  }
  std::string str(const char *key) const {
    const char *v = yyjson_get_str(get(key));
    return v ? v : "";
  }
};

bool ask(const std::string &op, const std::string &members, reply *out, int timeout_ms = 60000) {
  int port = agent_port();
  if (port <= 0) return false;
  // Each thread keeps one connection (the agent answers any number of
  // requests on it); a connection found closed is made anew once, before
  // the request can have reached the agent.
  // The main thread asks once more after its thread-local objects are gone:
  // the shared Dovecot is stopped by a static destructor. So the socket is a
  // thread-local pointer, never destroyed (the system closes it at exit).
  thread_local Socket *conn = nullptr;
  if (!conn) conn = new Socket;
  Socket &s = *conn;
  std::string req = "{\"op\":" + quote(op) + (members.empty() ? "" : "," + members) + "}\n";
  bool sent = false;
  for (int attempt = 0; attempt < 2 && !sent; ++attempt) {
    if (!s.valid() || attempt > 0) s = Socket::connect_loopback(port, 5000);
    if (!s.valid()) return false;
    sent = s.send_all(req, timeout_ms);
  }
  std::string line;
  if (!sent || !s.read_line(&line, timeout_ms)) {
    s = Socket();
    return false;
  }
  out->doc = yyjson_read(line.data(), line.size(), 0);
  return out->doc && !out->get("error");
}

}  // namespace

RunResult run(const std::vector<std::string> &argv, const std::string &input, int timeout_ms) {
  RunResult r;
  reply a;
  if (!ask("run", "\"argv\":" + args_json(argv) + ",\"input\":" + hex(input) +
                      ",\"timeout_ms\":" + std::to_string(timeout_ms),
           &a, timeout_ms + 10000)) {
    r.error = agent_port() > 0 ? "host agent did not answer: " + a.str("error") : k_no_process;
    return r;
  }
  r.started = a.flag("started");
  r.timed_out = a.flag("timed_out");
  r.exit_code = static_cast<int>(a.num("exit_code", -1));
  r.out = unhex(yyjson_get_str(a.get("out")));
  r.err = unhex(yyjson_get_str(a.get("err")));
  r.error = a.str("error");
  return r;
}

bool spawn_background(const std::vector<std::string> &argv, const std::string &log_path,
                      const std::string &cleanup_dir, Background *out, std::string *err) {
  reply a;
  if (!ask("spawn", "\"argv\":" + args_json(argv) + ",\"log\":" + quote(log_path) +
                        ",\"cleanup_dir\":" + quote(cleanup_dir),
           &a) ||
      !a.flag("ok")) {
    if (err) *err = agent_port() > 0 ? "host agent: " + a.str("error") : k_no_process;
    return false;
  }
  out->pid = static_cast<long>(a.num("pid", -1));
  out->watchdog = -1;  // the agent is the watchdog
  out->lifeline = -1;
  return out->pid > 0;
}

bool background_running(Background &bg) {
  reply a;
  return bg.pid > 0 && ask("running", "\"pid\":" + std::to_string(bg.pid), &a) && a.flag("running");
}

void stop_background(Background &bg, int grace_ms) {
  reply a;
  if (bg.pid > 0)
    ask("stop", "\"pid\":" + std::to_string(bg.pid) + ",\"grace_ms\":" + std::to_string(grace_ms), &a,
        grace_ms + 10000);
  bg.pid = -1;
}

std::string find_program(const std::string &name) {
  reply a;
  return ask("find_program", "\"name\":" + quote(name), &a) ? a.str("path") : std::string();
}

long current_pid() { return static_cast<long>(GetCurrentProcessId()); }

bool is_superuser() {
  reply a;
  return ask("is_superuser", "", &a) && a.flag("yes");
}

bool account_ids(const std::string &name, long *uid, long *gid) {
  reply a;
  if (!ask("account_ids", "\"name\":" + quote(name), &a) || !a.flag("ok")) return false;
  *uid = static_cast<long>(a.num("uid", -1));
  *gid = static_cast<long>(a.num("gid", -1));
  return true;
}

std::string make_temp_dir(const std::string &prefix) {
  reply a;
  if (agent_port() > 0) return ask("make_temp_dir", "\"prefix\":" + quote(prefix), &a) ? a.str("path") : "";
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = prefix + std::to_string(rd() % 1000000u);
    std::error_code ec;
    if (std::filesystem::create_directory(std::filesystem::u8path(path), ec)) return path;
  }
  return std::string();
}

bool set_mode(const std::string &path, int mode) {
  reply a;
  return ask("set_mode", "\"path\":" + quote(path) + ",\"mode\":" + std::to_string(mode), &a) && a.flag("ok");
}

bool set_owner(const std::string &path, long uid, long gid) {
  reply a;
  return ask("set_owner", "\"path\":" + quote(path) + ",\"uid\":" + std::to_string(uid) +
                              ",\"gid\":" + std::to_string(gid),
             &a) &&
         a.flag("ok");
}

bool set_mtime(const std::string &path, long long unix_seconds) {
  reply a;
  if (agent_port() > 0)
    return ask("set_mtime", "\"path\":" + quote(path) + ",\"t\":" + std::to_string(unix_seconds), &a) &&
           a.flag("ok");
  std::error_code ec;
  auto tp = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(unix_seconds)));
  std::filesystem::last_write_time(std::filesystem::u8path(path), tp, ec);
  return !ec;
}

long long get_mtime(const std::string &path) {
  reply a;
  if (agent_port() > 0) return ask("get_mtime", "\"path\":" + quote(path), &a) ? a.num("t", -1) : -1;
  std::error_code ec;
  auto t = std::filesystem::last_write_time(std::filesystem::u8path(path), ec);
  if (ec) return -1;
  auto sys = std::chrono::file_clock::to_sys(t);
  return std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
}

bool write_file(const std::string &path, const std::string &data, int mode) {
  reply a;
  if (agent_port() > 0)
    return ask("write_file", "\"path\":" + quote(path) + ",\"data\":" + hex(data) +
                                 ",\"mode\":" + std::to_string(mode),
               &a) &&
           a.flag("ok");
  std::ofstream out(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out);
}

bool remove_tree(const std::string &path) {
  // A Dovecot directory holds Unix sockets, which Wine cannot stat: its
  // directory walk never ends. The Linux side removes such a tree.
  reply a;
  if (agent_port() > 0) return ask("remove_tree", "\"path\":" + quote(path), &a) && a.flag("ok");
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::u8path(path), ec);
  return !ec;
}

bool is_directory(const std::string &path) {
  reply a;
  if (agent_port() > 0) return ask("is_directory", "\"path\":" + quote(path), &a) && a.flag("yes");
  std::error_code ec;
  return std::filesystem::is_directory(std::filesystem::u8path(path), ec);
}

bool make_directory(const std::string &path) {
  reply a;
  if (agent_port() > 0) return ask("make_directory", "\"path\":" + quote(path), &a) && a.flag("ok");
  std::error_code ec;
  std::filesystem::create_directory(std::filesystem::u8path(path), ec);
  return !ec && is_directory(path);
}

bool rename_path(const std::string &from, const std::string &to, std::string *why) {
  reply a;
  if (agent_port() > 0) {
    if (ask("rename", "\"from\":" + quote(from) + ",\"to\":" + quote(to), &a) && a.flag("ok")) return true;
    if (why) *why = "host agent: " + (a.doc ? a.str("why") + a.str("error") : std::string("no answer"));
    return false;
  }
  std::error_code ec;
  std::filesystem::rename(std::filesystem::u8path(from), std::filesystem::u8path(to), ec);
  if (ec && why) *why = ec.message();
  return !ec;
}

std::vector<std::string> list_directory(const std::string &path) {
  std::vector<std::string> names;
  reply a;
  if (agent_port() > 0) {
    if (!ask("list_directory", "\"path\":" + quote(path), &a)) return names;
    yyjson_val *arr = a.get("names");
    std::size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(arr, i, n, v) names.push_back(unhex(yyjson_get_str(v)));
    return names;
  }
  std::error_code ec;
  for (std::filesystem::directory_iterator it(std::filesystem::u8path(path), ec), end; !ec && it != end;
       it.increment(ec)) {
    auto u8 = it->path().filename().u8string();
    names.emplace_back(u8.begin(), u8.end());
  }
  return names;
}

bool read_file(const std::string &path, std::string *data) {
  reply a;
  if (agent_port() > 0) {
    if (!ask("read_file", "\"path\":" + quote(path), &a) || !a.flag("ok")) return false;
    *data = unhex(yyjson_get_str(a.get("data")));
    return true;
  }
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool make_symlink(const std::string &target, const std::string &link, bool dir, std::string *why) {
  std::wstring t = std::filesystem::path(target).make_preferred().wstring();
  std::wstring l = std::filesystem::path(link).make_preferred().wstring();
  DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (dir ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
  if (!CreateSymbolicLinkW(l.c_str(), t.c_str(), flags)) {
    *why = "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError()) +
           " (symbolic links need developer mode or the create-symbolic-link privilege)";
    return false;
  }
  // Wine's CreateSymbolicLinkW reports success and makes nothing.
  DWORD attrs = GetFileAttributesW(l.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *why = "CreateSymbolicLinkW reported success but made no link (Wine cannot make symbolic links)";
    return false;
  }
  return true;
}

bool make_fifo(const std::string &, std::string *why) {
  *why = "the Windows file system has no FIFOs";
  return false;
}

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms < 0 ? 0 : ms)); }
long long now_ms() { return static_cast<long long>(GetTickCount64()); }

}  // namespace kqtest::platform
