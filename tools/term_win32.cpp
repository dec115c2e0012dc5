// Windows side of term.h: the console API for size, echo and Ctrl-C.
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

#include "term.h"

namespace kqcli {

namespace {

std::atomic<int> g_interrupts{0};

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
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  if (HANDLE in = g_prompt_in.load()) {
    SetConsoleMode(in, g_prompt_saved_mode);
    write_err("\n");
    std::_Exit(130);
  }
  if (g_interrupts.load() >= 1) {
    write_err("\nkerquill: stopped at once (second Ctrl-C)\n");
    std::_Exit(130);
  }
  g_interrupts.fetch_add(1);
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

}  // namespace kqcli
