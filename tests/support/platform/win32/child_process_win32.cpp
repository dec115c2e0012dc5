// Windows half of child_process.h: CreateProcessW, TerminateProcess for the
// abrupt end (the counterpart of SIGKILL: no clean-up runs in the child).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <map>
#include <mutex>

#include "support/platform/child_process.h"

namespace kqtest::platform {

namespace {

// The process handle of each child we started, by process id: the handle
// keeps the id from being reused while we still look at it.
std::mutex g_mu;
std::map<long, HANDLE> g_children;

HANDLE handle_of(long pid) {
  std::lock_guard<std::mutex> hold(g_mu);
  auto it = g_children.find(pid);
  return it == g_children.end() ? nullptr : it->second;
}

void forget(long pid) {
  std::lock_guard<std::mutex> hold(g_mu);
  auto it = g_children.find(pid);
  if (it == g_children.end()) return;
  CloseHandle(it->second);
  g_children.erase(it);
}

std::wstring wide(const std::string &s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

// Quotes one argument the way the C runtime's command-line parser reads it.
void append_arg(std::wstring &cmd, const std::wstring &arg) {
  if (!cmd.empty()) cmd += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
    cmd += arg;
    return;
  }
  cmd += L'"';
  std::size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    if (c == L'"') cmd.append(slashes * 2 + 1, L'\\');
    else cmd.append(slashes, L'\\');
    slashes = 0;
    cmd += c;
  }
  cmd.append(slashes * 2, L'\\');
  cmd += L'"';
}

}  // namespace

child_process::~child_process() {
  if (running()) kill_now();
}

bool child_process::start(const std::vector<std::string> &argv,
                          const std::vector<std::pair<std::string, std::string>> &env,
                          const std::string &log_path) {
  if (argv.empty()) return false;
  std::wstring cmd;
  for (const auto &a : argv) append_arg(cmd, wide(a));

  // This process's environment with the extra variables put in place of
  // any of the same name.
  std::wstring block;
  wchar_t *cur = GetEnvironmentStringsW();
  for (wchar_t *e = cur; *e; e += wcslen(e) + 1) {
    std::wstring entry = e;
    bool replaced = false;
    for (const auto &kv : env)
      if (entry.rfind(wide(kv.first) + L"=", 0) == 0) replaced = true;
    if (!replaced) block += entry + L'\0';
  }
  FreeEnvironmentStringsW(cur);
  for (const auto &kv : env) block += wide(kv.first) + L'=' + wide(kv.second) + L'\0';
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE log = CreateFileW(wide(log_path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return false;
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                               0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = log;
  si.hStdError = log;
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                           block.data(), nullptr, &si, &pi);
  CloseHandle(log);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (!ok) return false;
  CloseHandle(pi.hThread);
  {
    std::lock_guard<std::mutex> hold(g_mu);
    g_children[static_cast<long>(pi.dwProcessId)] = pi.hProcess;
  }
  pid_ = static_cast<long>(pi.dwProcessId);
  status_ = -1;
  return true;
}

bool child_process::running() {
  if (pid_ <= 0) return false;
  HANDLE h = handle_of(pid_);
  if (h && WaitForSingleObject(h, 0) == WAIT_TIMEOUT) return true;
  DWORD code = 0;
  if (h && GetExitCodeProcess(h, &code)) status_ = static_cast<int>(code);
  forget(pid_);
  pid_ = -1;
  return false;
}

void child_process::kill_now() {
  if (pid_ <= 0) return;
  if (HANDLE h = handle_of(pid_)) {
    TerminateProcess(h, 137);
    WaitForSingleObject(h, INFINITE);
  }
  forget(pid_);
  status_ = -1;  // killed: no exit code, as after SIGKILL
  pid_ = -1;
}

int child_process::wait_exit(int timeout_ms) {
  if (pid_ > 0) {
    HANDLE h = handle_of(pid_);
    if (h && WaitForSingleObject(h, static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms)) == WAIT_TIMEOUT) return -1;
    running();
  }
  return status_;
}

std::string self_executable() {
  wchar_t buf[32768];
  DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
  if (n == 0 || n >= 32768) return "";
  int len = WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<std::size_t>(len), '\0');
  WideCharToMultiByte(CP_UTF8, 0, buf, static_cast<int>(n), s.data(), len, nullptr, nullptr);
  return s;
}

}  // namespace kqtest::platform
