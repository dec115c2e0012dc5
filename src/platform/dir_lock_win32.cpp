// Directory holds with LockFileEx: Windows drops a process's file locks when
// its handles close, at exit or death included. The lock covers one byte far
// past the end, so another process can still read the pid the holder wrote.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace kq::plat {

namespace {

std::wstring wide(const std::string &utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, w.data(), n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

constexpr DWORD k_lock_offset_high = 0x40000000;  // far past any pid text

bool lock_byte(HANDLE h) {
  OVERLAPPED ov = {};
  ov.OffsetHigh = k_lock_offset_high;
  return LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov) != 0;
}

long read_pid(HANDLE h) {
  char buf[32] = {};
  OVERLAPPED ov = {};
  DWORD got = 0;
  if (!ReadFile(h, buf, sizeof buf - 1, &got, &ov) || got == 0) return 0;
  long pid = std::strtol(buf, nullptr, 10);
  return pid > 0 ? pid : 0;
}

}  // namespace

dir_lock::~dir_lock() { release(); }

dir_lock::status dir_lock::acquire(const char *dir, const char *name, long *pid, int *err) {
  release();
  if (pid) *pid = 0;
  if (err) *err = 0;
  std::wstring path = wide(std::string(dir) + "\\" + name);
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (err) *err = static_cast<int>(GetLastError());
    return failed;
  }
  if (!lock_byte(h)) {
    DWORD e = GetLastError();
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) {
      if (pid) *pid = read_pid(h);
      CloseHandle(h);
      return busy;
    }
    CloseHandle(h);
    if (err) *err = static_cast<int>(e);
    return failed;
  }
  char text[32];
  int n = std::snprintf(text, sizeof text, "%lu\r\n", static_cast<unsigned long>(GetCurrentProcessId()));
  OVERLAPPED ov = {};
  DWORD put = 0;
  if (n > 0 && WriteFile(h, text, static_cast<DWORD>(n), &put, &ov)) {
    FILE_END_OF_FILE_INFO eof = {};
    eof.EndOfFile.QuadPart = n;
    SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof);
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return held;
}

void dir_lock::release() {
  if (handle_ < 0) return;
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace kq::plat
