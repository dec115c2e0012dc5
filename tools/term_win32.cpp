// Windows side of term.h: the console API for size, echo and Ctrl-C, and
// cmd.exe for helper commands.
//
// The tool draws its progress line with VT sequences ("\r\x1b[2K"). A console
// counts as a terminal only when it accepts them (Windows 10 and later, or
// Windows Terminal); an older console gets plain lines, as a pipe does.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <io.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "term.h"

namespace kqcli {

namespace {

std::atomic<int> g_interrupts{0};
std::atomic<int> g_first_signal{0};
// The POSIX numbers term.h reports, for the console events that mean the same.
constexpr int k_sigint = 2, k_sighup = 1, k_sigterm = 15;

// Saved while the prompt has echo off, so a Ctrl-C there can restore it.
std::atomic<HANDLE> g_prompt_in{nullptr};
DWORD g_prompt_saved_mode = 0;

UINT g_saved_output_cp = 0;

HANDLE handle_of(stream s) {
  switch (s) {
    case stream::in: return GetStdHandle(STD_INPUT_HANDLE);
    case stream::out: return GetStdHandle(STD_OUTPUT_HANDLE);
    default: return GetStdHandle(STD_ERROR_HANDLE);
  }
}

void write_err(const char *text) {
  DWORD n;
  HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (h && h != INVALID_HANDLE_VALUE) WriteFile(h, text, static_cast<DWORD>(std::strlen(text)), &n, nullptr);
}

void restore_output_cp() {
  if (g_saved_output_cp) SetConsoleOutputCP(g_saved_output_cp);
}

// Mail text is UTF-8; the console shows it as such while the tool runs.
void use_utf8_output() {
  static bool done = false;
  if (done) return;
  done = true;
  UINT cp = GetConsoleOutputCP();
  if (cp != 0 && cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
    g_saved_output_cp = cp;
    std::atexit(restore_output_cp);
  }
}

BOOL WINAPI on_ctrl(DWORD event) {
  int sig;
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: sig = k_sigint; break;
    case CTRL_CLOSE_EVENT: sig = k_sighup; break;  // the console window was closed
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT: sig = k_sigterm; break;
    default: return FALSE;
  }
  if (HANDLE in = g_prompt_in.load()) {
    SetConsoleMode(in, g_prompt_saved_mode);
    write_err("\n");
    std::_Exit(128 + sig);
  }
  if (g_interrupts.load() >= 1) {
    write_err(sig == k_sigint ? "\nkerquill: stopped at once (second Ctrl-C)\n"
                              : "\nkerquill: stopped at once (second stop signal)\n");
    std::_Exit(128 + sig);
  }
  g_first_signal.store(sig);
  g_interrupts.fetch_add(1);
  // Windows ends the process as soon as the handler of a close, log-off or
  // shut-down event returns: wait here (the system allows about five
  // seconds) so the main thread can stop the export and save its place.
  if (sig != k_sigint) Sleep(4500);
  return TRUE;
}

}  // namespace

bool term_is_tty(stream s) {
  HANDLE h = handle_of(s);
  DWORD mode;
  if (!h || h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
  if (s == stream::in) return true;
  if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
      !SetConsoleMode(h, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
    return false;
  use_utf8_output();
  return true;
}

int term_width() {
  for (DWORD which : {STD_ERROR_HANDLE, STD_OUTPUT_HANDLE}) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(which), &info)) {
      int cols = info.srWindow.Right - info.srWindow.Left + 1;
      if (cols > 0) return cols;
    }
  }
  return 80;
}

bool term_read_secret(const char *prompt, std::string &out) {
  // The console itself, even when stdin is redirected.
  HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
  if (in == INVALID_HANDLE_VALUE) return false;
  DWORD saved;
  if (!GetConsoleMode(in, &saved)) {
    CloseHandle(in);
    return false;
  }
  write_err(prompt);
  g_prompt_saved_mode = saved;
  g_prompt_in.store(in);
  SetConsoleCtrlHandler(on_ctrl, TRUE);
  SetConsoleMode(in, (saved | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT) & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));

  std::wstring line;
  bool got_line = false;
  wchar_t buf[256];
  for (;;) {
    DWORD n = 0;
    if (!ReadConsoleW(in, buf, 256, &n, nullptr) || n == 0) break;
    std::size_t end = 0;
    while (end < n && buf[end] != L'\r' && buf[end] != L'\n') ++end;
    line.append(buf, end);
    if (end < n) {
      got_line = true;
      break;
    }
  }
  SetConsoleMode(in, saved);
  g_prompt_in.store(nullptr);
  CloseHandle(in);
  write_err("\n");

  out.clear();
  if (!line.empty()) {
    int len = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(len > 0 ? len : 0));
    if (len > 0)
      WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), out.data(), len, nullptr, nullptr);
  }
  return got_line || !out.empty();
}

void term_catch_interrupts() { SetConsoleCtrlHandler(on_ctrl, TRUE); }

int term_interrupts() { return g_interrupts.load(); }

int term_first_signal() { return g_first_signal.load(); }

bool term_stopped_by_ctrl_c() { return g_first_signal.load() == k_sigint; }

namespace {

std::wstring widen(const std::string &s) {
  if (s.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string system_message(DWORD e) {
  char buf[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, buf,
                           sizeof buf, nullptr);
  while (n > 0 && (buf[n - 1] == '\r' || buf[n - 1] == '\n' || buf[n - 1] == '.' || buf[n - 1] == ' ')) --n;
  return n > 0 ? std::string(buf, n) : "error " + std::to_string(e);
}

}  // namespace

bool run_for_output(const std::string &command, std::string &out, std::string &why) {
  out.clear();
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &inherit, 0)) {
    why = system_message(GetLastError());
    return false;
  }
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);  // only the write end goes to the child
  // No standard input: the helper may ask on the console itself.
  HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                           nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = wr;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // cmd.exe /s /c "..." takes everything between the outer quotes as the
  // command line, as written in the configuration.
  const char *comspec = std::getenv("ComSpec");
  std::wstring shell = widen(comspec && *comspec ? comspec : "cmd.exe");
  std::wstring line = L"\"" + shell + L"\" /d /s /c \"" + widen(command) + L"\"";
  PROCESS_INFORMATION pi{};
  BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  DWORD start_error = GetLastError();
  CloseHandle(wr);
  if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
  if (!started) {
    CloseHandle(rd);
    why = system_message(start_error);
    return false;
  }
  CloseHandle(pi.hThread);
  char buf[512];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(rd, buf, sizeof buf, &n, nullptr) || n == 0) break;
    out.append(buf, n);
    if (out.size() > (1u << 20)) break;  // no secret is that long
  }
  SecureZeroMemory(buf, sizeof buf);
  CloseHandle(rd);
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  if (code == 0) return true;
  why = "exited with status " + std::to_string(code);
  return false;
}

void set_env(const char *name, const char *value) {
  // The wide environment, which the library reads (and which the C runtime
  // keeps in step with the narrow one).
  _wputenv_s(widen(name).c_str(), widen(value).c_str());
}

}  // namespace kqcli
