// Windows implementation of the platform layer: Winsock 2, _beginthreadex,
// SRW locks, the wide-character file API and the system code-page converter.
//
// Paths arrive as UTF-8 and are converted to UTF-16 for every file call, so
// names outside the ANSI code page work. Socket errors (WSAGetLastError)
// and C library errors (errno) are separate numbers on Windows; error_text
// tells them apart by range.
//
// Sections: start-up, text helpers, sockets, threads and locks, time,
// charsets, files. A new platform call goes into the section it belongs to.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>

#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include <mbedtls/threading.h>

#include "platform/platform.h"

namespace kq::plat {

// --- start-up ----------------------------------------------------------------

namespace {

// Mbed TLS's mutexes as SRW locks. Installed by a static initialiser, before
// any TLS or PSA call can run; an SRW lock needs no clean-up, so there is
// nothing to undo at unload.
void mbed_mutex_init(mbedtls_threading_mutex_t *m) {
  static_assert(sizeof(m->srw) == sizeof(SRWLOCK));
  InitializeSRWLock(reinterpret_cast<SRWLOCK *>(&m->srw));
  m->is_valid = 1;
}
void mbed_mutex_free(mbedtls_threading_mutex_t *m) { m->is_valid = 0; }
int mbed_mutex_lock(mbedtls_threading_mutex_t *m) {
  if (!m || !m->is_valid) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
  AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(&m->srw));
  return 0;
}
int mbed_mutex_unlock(mbedtls_threading_mutex_t *m) {
  if (!m || !m->is_valid) return MBEDTLS_ERR_THREADING_BAD_INPUT_DATA;
  ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(&m->srw));
  return 0;
}

struct mbed_threading_setup {
  mbed_threading_setup() {
    mbedtls_threading_set_alt(mbed_mutex_init, mbed_mutex_free, mbed_mutex_lock, mbed_mutex_unlock);
  }
} const mbedtls_threads_at_load;

// What the platform layer keeps for the whole process, in one owner. It is
// never destroyed: sockets may outlive the library's statics.
struct sock_opts;
class win32_state {
 public:
  static win32_state &instance() {
    static win32_state *state = new win32_state;
    return *state;
  }

  // Winsock is started on first use rather than from DllMain, where
  // WSAStartup must not be called. It is reference-counted, so a host that
  // started it too is unaffected; the library's reference lives until the
  // process ends.
  bool wsa_ready() {
    InitOnceExecuteOnce(&wsa_once_, wsa_start, &wsa_ok_, nullptr);
    return wsa_ok_;
  }

  // The options the library set on each socket (see sock_opts below),
  // under their own lock: any thread may use a socket.
  SRWLOCK opts_lock = SRWLOCK_INIT;
  std::unordered_map<SOCKET, sock_opts> *opts = nullptr;

 private:
  win32_state() = default;
  static BOOL CALLBACK wsa_start(PINIT_ONCE, PVOID ok, PVOID *) {
    WSADATA data;
    *static_cast<bool *>(ok) = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    return TRUE;
  }
  INIT_ONCE wsa_once_ = INIT_ONCE_STATIC_INIT;
  bool wsa_ok_ = false;
};

bool wsa_ready() { return win32_state::instance().wsa_ready(); }

// --- text helpers ------------------------------------------------------------

std::wstring widen(const char *utf8, UINT cp = CP_UTF8) {
  if (!utf8 || !*utf8) return std::wstring();
  int n = MultiByteToWideChar(cp, 0, utf8, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, utf8, -1, w.data(), n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

std::string narrow(const wchar_t *w, int len) {
  if (len == 0) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, w, len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string s(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w, len, s.data(), n, nullptr, nullptr);
  return s;
}

// File failures reach callers through errno (last_errno), as on POSIX.
void set_errno_from_win32(DWORD e) {
  switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      errno = ENOENT;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      errno = ENOSPC;
      break;
    case ERROR_WRITE_PROTECT:
      errno = EROFS;
      break;
    case ERROR_DIRECTORY:
      errno = ENOTDIR;
      break;
    case ERROR_FILENAME_EXCED_RANGE:
      errno = ENAMETOOLONG;
      break;
    case ERROR_TOO_MANY_OPEN_FILES:
      errno = EMFILE;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      errno = ENOMEM;
      break;
    default:
      errno = EIO;
  }
}

HANDLE open_handle(const char *path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  std::wstring w = widen(path);
  if (w.empty()) {
    errno = ENOENT;
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileW(w.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) set_errno_from_win32(GetLastError());
  return h;
}

bool write_handle(HANDLE h, const void *data, std::size_t n, bool at_end) {
  auto *p = static_cast<const char *>(data);
  while (n > 0) {
    DWORD chunk = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n);
    DWORD done = 0;
    OVERLAPPED ov{};
    // Offset all ones means "at the end of the file", decided by the
    // system for each write: the Windows form of O_APPEND.
    ov.Offset = 0xFFFFFFFFu;
    ov.OffsetHigh = 0xFFFFFFFFu;
    if (!WriteFile(h, p, chunk, &done, at_end ? &ov : nullptr) || done == 0) {
      set_errno_from_win32(GetLastError());
      return false;
    }
    p += done;
    n -= done;
  }
  return true;
}

}  // namespace

// --- sockets -----------------------------------------------------------------

namespace {

// Time-outs and the blocking mode of each socket, kept here because the
// library enforces the time-outs itself with WSAPoll before a blocking
// receive or send: after an SO_RCVTIMEO time-out Windows leaves the socket
// in an undefined state, and Wine does not apply SO_RCVTIMEO at all. Windows
// has no call that reads the blocking mode back.
struct sock_opts {
  DWORD recv_ms = 0;
  DWORD send_ms = 0;
  bool nonblocking = false;
};
template <class F>
void with_opts(SOCKET s, F f) {
  win32_state &st = win32_state::instance();
  AcquireSRWLockExclusive(&st.opts_lock);
  if (!st.opts) st.opts = new (std::nothrow) std::unordered_map<SOCKET, sock_opts>;
  if (st.opts) f((*st.opts)[s]);
  ReleaseSRWLockExclusive(&st.opts_lock);
}

sock_opts opts_of(SOCKET s) {
  win32_state &st = win32_state::instance();
  sock_opts o;
  AcquireSRWLockShared(&st.opts_lock);
  if (st.opts) {
    auto it = st.opts->find(s);
    if (it != st.opts->end()) o = it->second;
  }
  ReleaseSRWLockShared(&st.opts_lock);
  return o;
}

void forget_opts(SOCKET s) {
  win32_state &st = win32_state::instance();
  AcquireSRWLockExclusive(&st.opts_lock);
  if (st.opts) st.opts->erase(s);
  ReleaseSRWLockExclusive(&st.opts_lock);
}

// Waits for the socket to be ready within the time-out of a blocking call;
// false with WSAETIMEDOUT set when it is not.
bool ready_in_time(SOCKET s, bool for_read) {
  sock_opts o = opts_of(s);
  DWORD ms = for_read ? o.recv_ms : o.send_ms;
  if (o.nonblocking || ms == 0) return true;
  WSAPOLLFD p{};
  p.fd = s;
  p.events = for_read ? POLLRDNORM : POLLWRNORM;
  int r = WSAPoll(&p, 1, static_cast<INT>(ms));
  if (r == 0) {
    WSASetLastError(WSAETIMEDOUT);
    return false;
  }
  return r != SOCKET_ERROR;  // an error or hang-up is reported by the call itself
}

}  // namespace

addr_list::~addr_list() {
  if (head_) freeaddrinfo(static_cast<addrinfo *>(head_));
}

bool addr_list::resolve(const char *host, const char *port) {
  if (!wsa_ready()) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *res = nullptr;
  if (getaddrinfo(host, port, &hints, &res) != 0) return false;
  head_ = res;
  return true;
}

std::size_t addr_list::size() const {
  std::size_t n = 0;
  for (auto *a = static_cast<addrinfo *>(head_); a; a = a->ai_next) ++n;
  return n;
}

const void *addr_list::at(std::size_t i) const {
  auto *a = static_cast<addrinfo *>(head_);
  while (a && i--) a = a->ai_next;
  return a;
}

sock_t sock_open(const void *addr) {
  if (!wsa_ready()) return bad_sock;
  auto *a = static_cast<const addrinfo *>(addr);
  // Not inherited by child processes the host may start.
  SOCKET s = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? bad_sock : static_cast<sock_t>(s);
}

void sock_set_timeouts(sock_t s, int recv_s, int send_s) {
  with_opts(static_cast<SOCKET>(s), [&](sock_opts &o) {
    if (recv_s > 0) o.recv_ms = static_cast<DWORD>(recv_s) * 1000u;
    if (send_s > 0) o.send_ms = static_cast<DWORD>(send_s) * 1000u;
  });
  if (recv_s > 0) {
    DWORD ms = static_cast<DWORD>(recv_s) * 1000u;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&ms), sizeof ms);
  }
  if (send_s > 0) {
    DWORD ms = static_cast<DWORD>(send_s) * 1000u;
    setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&ms), sizeof ms);
  }
}

void sock_set_recv_timeout_ms(sock_t s, long ms) {
  DWORD v = ms > 0 ? static_cast<DWORD>(ms) : 1u;  // 0 would mean "no limit"
  with_opts(static_cast<SOCKET>(s), [&](sock_opts &o) { o.recv_ms = v; });
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&v), sizeof v);
}

bool sock_set_nonblocking(sock_t s, bool on) {
  u_long mode = on ? 1 : 0;
  if (ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &mode) != 0) return false;
  with_opts(static_cast<SOCKET>(s), [&](sock_opts &o) { o.nonblocking = on; });
  return true;
}

bool sock_connect(sock_t s, const void *addr, int wait_ms) {
  auto *a = static_cast<const addrinfo *>(addr);
  SOCKET fd = static_cast<SOCKET>(s);
  if (!sock_set_nonblocking(s, true)) return false;
  bool ok = false;
  if (::connect(fd, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
    ok = true;
  } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
    // select rather than WSAPoll: older WSAPoll never reports a refused
    // connect. A failed connect shows in the except set.
    fd_set wr, ex;
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(fd, &wr);
    FD_SET(fd, &ex);
    timeval tv{wait_ms / 1000, (wait_ms % 1000) * 1000};
    int r = ::select(0, nullptr, &wr, &ex, wait_ms < 0 ? nullptr : &tv);
    if (r > 0 && FD_ISSET(fd, &wr) && !FD_ISSET(fd, &ex)) {
      int err = 0;
      int len = sizeof err;
      ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) == 0 && err == 0;
    }
  }
  sock_set_nonblocking(s, false);
  return ok;
}

long sock_send(sock_t s, const void *buf, std::size_t len) {
  // Windows raises no signal for a closed peer; send just fails.
  if (!ready_in_time(static_cast<SOCKET>(s), false)) return -1;
  int n = len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  int r = ::send(static_cast<SOCKET>(s), static_cast<const char *>(buf), n, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

long sock_recv(sock_t s, void *buf, std::size_t len) {
  if (!ready_in_time(static_cast<SOCKET>(s), true)) return -1;
  int n = len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
  int r = ::recv(static_cast<SOCKET>(s), static_cast<char *>(buf), n, 0);
  return r == SOCKET_ERROR ? -1 : r;
}

void sock_close(sock_t s) {
  if (s == bad_sock) return;
  forget_opts(static_cast<SOCKET>(s));
  ::closesocket(static_cast<SOCKET>(s));
}

int sock_wait(sock_t s, bool want_read, bool want_write, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(s);
  p.events = static_cast<SHORT>((want_read ? POLLRDNORM : 0) | (want_write ? POLLWRNORM : 0));
  int r = WSAPoll(&p, 1, timeout_ms);
  if (r == SOCKET_ERROR) return -1;
  if (r == 0) return 0;
  int mask = 0;
  if (p.revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) mask |= sock_readable;
  if (p.revents & (POLLWRNORM | POLLERR | POLLHUP)) mask |= sock_writable;
  // An error or hang-up wakes both sides: the next call reports it.
  if (!want_read) mask &= ~sock_readable;
  if (!want_write) mask &= ~sock_writable;
  if (mask == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) mask = want_read ? sock_readable : sock_writable;
  return mask;
}

int sock_last_error() { return WSAGetLastError(); }

bool sock_error_would_block(int err) {
  // A receive time-out (SO_RCVTIMEO) ends in WSAETIMEDOUT here, where POSIX
  // says EAGAIN.
  return err == WSAEWOULDBLOCK || err == WSAETIMEDOUT;
}

int last_errno() { return errno; }

const char *error_text(int err) {
  thread_local char buf[256];
  if (err >= WSABASEERR) {
    // Winsock numbers: the system's own message, in English where it has one.
    wchar_t w[256];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), w, 256, nullptr);
    if (n == 0)
      n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(err), 0, w, 256, nullptr);
    while (n > 0 && (w[n - 1] == L'\r' || w[n - 1] == L'\n' || w[n - 1] == L' ' || w[n - 1] == L'.')) --n;
    std::string s = n > 0 ? narrow(w, static_cast<int>(n)) : std::string();
    if (s.empty()) std::snprintf(buf, sizeof buf, "socket error %d", err);
    else std::snprintf(buf, sizeof buf, "%s", s.c_str());
    return buf;
  }
  if (strerror_s(buf, sizeof buf, err) != 0) std::snprintf(buf, sizeof buf, "error %d", err);
  return buf;
}

// --- threads and locks -------------------------------------------------------

namespace {

struct thread_start {
  void (*fn)(void *);
  void *arg;
  HMODULE self;  // the reference that keeps this module mapped
};

unsigned __stdcall thread_main(void *p) {
  thread_start st = *static_cast<thread_start *>(p);
  delete static_cast<thread_start *>(p);
  st.fn(st.arg);
  // The thread owns one reference to the library's module: a host that
  // unloads the DLL while a worker runs keeps the code mapped until the
  // worker is done, instead of crashing in unmapped code.
  if (st.self) FreeLibraryAndExitThread(st.self, 0);
  return 0;
}

}  // namespace

bool thread_spawn_detached(void (*fn)(void *), void *arg) {
  auto *st = new (std::nothrow) thread_start{fn, arg, nullptr};
  if (!st) return false;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&thread_main), &st->self);
  uintptr_t h = _beginthreadex(nullptr, 0, thread_main, st, 0, nullptr);
  if (h == 0) {
    if (st->self) FreeLibrary(st->self);
    delete st;
    return false;
  }
  CloseHandle(reinterpret_cast<HANDLE>(h));
  return true;
}

static_assert(sizeof(SRWLOCK) <= 64, "lock storage too small");

exclusive_lock::exclusive_lock() { InitializeSRWLock(reinterpret_cast<SRWLOCK *>(storage_)); }
exclusive_lock::~exclusive_lock() = default;  // an SRW lock holds no resources
void exclusive_lock::lock() { AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(storage_)); }
void exclusive_lock::unlock() { ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(storage_)); }

// --- time --------------------------------------------------------------------

std::uint64_t tick_ms() { return GetTickCount64(); }
void sleep_ms(unsigned ms) { Sleep(ms); }
long long time_now() { return static_cast<long long>(_time64(nullptr)); }
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back. The CRT's
// _mkgmtime64/_gmtime64_s stop at the year 3000 and refuse times before
// 1970; archives carry dates outside that (year 9999 from a broken header).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long &y, unsigned &m, unsigned &d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

long long floor_div(long long a, long long b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

long long utc_from_tm(std::tm *tm) {
  // Normalises out-of-range fields like timegm and writes the result back.
  long long mon = tm->tm_mon;
  long long year = 1900LL + tm->tm_year + floor_div(mon, 12);
  mon -= floor_div(mon, 12) * 12;
  long long t = (days_from_civil(year, static_cast<unsigned>(mon + 1), 1) + tm->tm_mday - 1) * 86400LL +
                tm->tm_hour * 3600LL + tm->tm_min * 60LL + tm->tm_sec;
  utc_to_tm(t, tm);
  return t;
}

bool utc_to_tm(long long t, std::tm *out) {
  long long days = floor_div(t, 86400);
  long long secs = t - days * 86400;
  long long y;
  unsigned m, d;
  civil_from_days(days, y, m, d);
  if (y - 1900 < INT_MIN || y - 1900 > INT_MAX) return false;
  std::tm r{};
  r.tm_year = static_cast<int>(y - 1900);
  r.tm_mon = static_cast<int>(m - 1);
  r.tm_mday = static_cast<int>(d);
  r.tm_hour = static_cast<int>(secs / 3600);
  r.tm_min = static_cast<int>(secs / 60 % 60);
  r.tm_sec = static_cast<int>(secs % 60);
  r.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  r.tm_yday = static_cast<int>(days - days_from_civil(y, 1, 1));
  *out = r;
  return true;
}

// --- charsets ----------------------------------------------------------------

namespace {

struct charset_cp {
  const char *name;
  UINT cp;
};

// MIME charset names (RFC 2046, the IANA registry and common aliases) to
// Windows code pages.
const charset_cp k_charsets[] = {
    {"utf-8", 65001},         {"utf8", 65001},          {"us-ascii", 20127},       {"ascii", 20127},
    {"iso-8859-1", 28591},    {"latin1", 28591},        {"iso8859-1", 28591},      {"iso_8859-1", 28591},
    {"iso-8859-2", 28592},    {"latin2", 28592},        {"iso-8859-3", 28593},     {"iso-8859-4", 28594},
    {"iso-8859-5", 28595},    {"iso-8859-6", 28596},    {"iso-8859-7", 28597},     {"iso-8859-8", 28598},
    {"iso-8859-8-i", 38598},  {"iso-8859-9", 28599},    {"latin5", 28599},         {"iso-8859-13", 28603},
    {"iso-8859-15", 28605},   {"latin-9", 28605},       {"windows-1250", 1250},    {"windows-1251", 1251},
    {"windows-1252", 1252},   {"windows-1253", 1253},   {"windows-1254", 1254},    {"windows-1255", 1255},
    {"windows-1256", 1256},   {"windows-1257", 1257},   {"windows-1258", 1258},    {"cp1250", 1250},
    {"cp1251", 1251},         {"cp1252", 1252},         {"cp1253", 1253},          {"cp1254", 1254},
    {"cp1255", 1255},         {"cp1256", 1256},         {"cp1257", 1257},          {"cp1258", 1258},
    {"windows-874", 874},     {"tis-620", 874},         {"koi8-r", 20866},         {"koi8-u", 21866},
    {"ibm866", 866},          {"cp866", 866},           {"ibm850", 850},           {"cp850", 850},
    {"ibm437", 437},          {"cp437", 437},           {"macintosh", 10000},      {"iso-2022-jp", 50220},
    {"shift_jis", 932},       {"shift-jis", 932},       {"sjis", 932},             {"ms_kanji", 932},
    {"windows-31j", 932},     {"cp932", 932},           {"euc-jp", 20932},         {"gb2312", 936},
    {"gbk", 936},             {"cp936", 936},           {"gb18030", 54936},        {"big5", 950},
    {"big5-hkscs", 950},      {"cp950", 950},           {"euc-kr", 949},           {"ks_c_5601-1987", 949},
    {"cp949", 949},           {"iso-2022-kr", 50225},   {"hz-gb-2312", 52936},     {"utf-7", 65000},
};

UINT code_page_of(const char *charset) {
  if (!charset) return 0;
  char lower[40];
  std::size_t i = 0;
  for (; charset[i] && i + 1 < sizeof lower; ++i) {
    char c = charset[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (charset[i]) return 0;
  lower[i] = '\0';
  for (const charset_cp &e : k_charsets)
    if (std::strcmp(e.name, lower) == 0) return e.cp;
  return 0;
}

// Stateful and escape-based code pages reject MB_ERR_INVALID_CHARS.
bool takes_strict_flag(UINT cp) {
  return !(cp == 42 || (cp >= 50220 && cp <= 50229) || cp == 52936 || cp == 54936 ||
           (cp >= 57002 && cp <= 57011) || cp == 65000);
}

}  // namespace

bool charset_to_utf8(const char *charset, std::string_view in, std::string &out) {
  UINT cp = code_page_of(charset);
  if (cp == 0 || !IsValidCodePage(cp)) return false;
  if (in.empty()) {
    out.clear();
    return true;
  }
  if (in.size() > static_cast<std::size_t>(INT_MAX / 2)) return false;
  DWORD flags = takes_strict_flag(cp) ? MB_ERR_INVALID_CHARS : 0;
  int n = MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return false;
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  if (MultiByteToWideChar(cp, flags, in.data(), static_cast<int>(in.size()), w.data(), n) != n) return false;
  std::string result = narrow(w.data(), n);
  if (result.empty()) return false;
  out = std::move(result);
  return true;
}

// --- files -------------------------------------------------------------------

std::FILE *file_open(const char *path, const char *mode) {
  std::wstring w = widen(path);
  if (w.empty()) {
    errno = ENOENT;
    return nullptr;
  }
  std::wstring m = widen(mode);
  // Binary always: the library writes CRLF itself where it wants it.
  if (m.find(L'b') == std::wstring::npos) m += L'b';
  // Not inherited by child processes the host may start.
  m += L'N';
  return _wfopen(w.c_str(), m.c_str());
}

bool make_dir(const char *path) {
  std::wstring w = widen(path);
  if (w.empty()) return false;
  if (CreateDirectoryW(w.c_str(), nullptr)) return true;
  DWORD e = GetLastError();
  DWORD attrs = GetFileAttributesW(w.c_str());
  if (e == ERROR_ALREADY_EXISTS && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return true;
  set_errno_from_win32(e);
  return false;
}

bool windows_file_names() { return true; }

bool path_exists(const char *path) {
  std::wstring w = widen(path);
  return !w.empty() && GetFileAttributesW(w.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_regular_file(const char *path) {
  std::wstring w = widen(path);
  if (w.empty()) return false;
  DWORD attrs = GetFileAttributesW(w.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

namespace {

// Renames src over dst. Windows refuses to replace a file while any handle
// on it is open, even one that shares delete access: a reader of the same
// archive in another thread (statistics, verification) or a virus scanner
// looking at the new file. Those hold it for moments, so the rename is
// tried again for about two seconds before the refusal counts.
bool move_replacing(const wchar_t *src, const wchar_t *dst, DWORD how) {
  DWORD wait_ms = 5;
  for (DWORD waited = 0;; waited += wait_ms, wait_ms = wait_ms < 320 ? wait_ms * 2 : wait_ms) {
    if (MoveFileExW(src, dst, how)) return true;
    DWORD e = GetLastError();
    // A directory or a read-only file in the way is refused for good.
    DWORD attrs = e == ERROR_ACCESS_DENIED ? GetFileAttributesW(dst) : 0;
    bool lasting = attrs != INVALID_FILE_ATTRIBUTES && (attrs & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    if ((e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION) || lasting || waited >= 2000) {
      set_errno_from_win32(e);
      return false;
    }
    Sleep(wait_ms);
  }
}

}  // namespace

bool file_replace(const char *src, const char *dst) {
  std::wstring ws = widen(src), wd = widen(dst);
  if (ws.empty() || wd.empty()) return false;
  return move_replacing(ws.c_str(), wd.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

bool file_move_new(const char *src, const char *dst, bool *exists) {
  *exists = false;
  std::wstring ws = widen(src), wd = widen(dst);
  if (ws.empty() || wd.empty()) {
    errno = ENOENT;
    return false;
  }
  // Without MOVEFILE_REPLACE_EXISTING the move fails on any name in the way.
  if (MoveFileExW(ws.c_str(), wd.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
  DWORD e = GetLastError();
  *exists = e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS;
  set_errno_from_win32(e);
  return false;
}

bool remove_file(const char *path) {
  std::wstring w = widen(path);
  return !w.empty() && DeleteFileW(w.c_str()) != 0;
}

const char *env_get(const char *name) {
  // The wide environment holds the real text; the narrow one is in the
  // ANSI code page.
  thread_local std::string value;
  std::wstring w = widen(name);
  const wchar_t *v = w.empty() ? nullptr : _wgetenv(w.c_str());
  if (!v) return nullptr;
  value = narrow(v, static_cast<int>(wcslen(v)));
  return value.c_str();
}

long long file_size(const char *path) {
  std::wstring w = widen(path);
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (w.empty() || !GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &d)) return -1;
  return (static_cast<long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

long long read_at(const char *path, long long offset, void *buf, std::size_t n) {
  HANDLE h = open_handle(path, GENERIC_READ, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(static_cast<unsigned long long>(offset) & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), got = 0;
  BOOL ok = ReadFile(h, buf, want, &got, &ov);
  DWORD e = GetLastError();
  CloseHandle(h);
  if (!ok && e != ERROR_HANDLE_EOF) {
    set_errno_from_win32(e);
    return -1;
  }
  return ok ? static_cast<long long>(got) : 0;
}

bool create_new_file(const char *path, std::string_view data, bool *exists) {
  *exists = false;
  std::wstring w = widen(path);
  if (w.empty()) {
    errno = ENOENT;
    return false;
  }
  // CREATE_NEW fails on any existing name; with FILE_FLAG_OPEN_REPARSE_POINT
  // a symbolic link (dangling or not) is that name, never its target. DELETE
  // access lets a short write remove exactly the file made here.
  HANDLE h = CreateFileW(w.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    *exists = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
    set_errno_from_win32(e);
    return false;
  }
  bool ok = write_handle(h, data.data(), data.size(), false);
  if (!ok) {
    int err = errno;
    FILE_DISPOSITION_INFO gone{};
    gone.DeleteFile = TRUE;
    SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    errno = err;
  }
  if (!CloseHandle(h)) ok = false;
  return ok;
}

// --- contained files ---------------------------------------------------------
//
// Windows has no openat: the walk holds a handle on every directory on the
// way, opened without FILE_SHARE_DELETE, so none of them can be renamed or
// replaced by a link until the final file is open. Each step looks at the
// entry itself (FILE_FLAG_OPEN_REPARSE_POINT: a link or junction is the
// object, not its target) and refuses anything but a plain directory on the
// way and a plain disk file at the end.

namespace {

// Names the Win32 path parser rewrites or sends elsewhere: a second
// separator, a drive or stream colon, wildcards, trailing dots and spaces
// (stripped, so "x." would open "x"), and the DOS device names, which exist
// in every directory ("nul", "con.txt", "com1").
bool component_is_plain(std::string_view c) {
  if (c.empty() || c == "." || c == "..") return false;
  for (char ch : c)
    if (ch == '\0' || ch == '\\' || ch == ':' || ch == '*' || ch == '?' || ch == '"' || ch == '<' || ch == '>' ||
        ch == '|' || static_cast<unsigned char>(ch) < 0x20)
      return false;
  if (c.back() == '.' || c.back() == ' ') return false;
  std::string_view stem = c.substr(0, c.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string low;
  for (char ch : stem) low += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
  for (const char *dev : {"con", "prn", "aux", "nul", "conin$", "conout$"})
    if (low == dev) return false;
  // COM1..COM9 and LPT1..LPT9, and the superscript digits Windows also takes.
  if (low.size() >= 4 && (low.compare(0, 3, "com") == 0 || low.compare(0, 3, "lpt") == 0)) {
    std::string_view tail = std::string_view(low).substr(3);
    if ((tail.size() == 1 && tail[0] >= '0' && tail[0] <= '9') || tail == "\xc2\xb9" || tail == "\xc2\xb2" ||
        tail == "\xc2\xb3")
      return false;
  }
  return true;
}

contained_file::status status_of_missing(DWORD e) {
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
                 e == ERROR_DIRECTORY
             ? contained_file::absent
             : contained_file::failed;
}

// The held directories of one walk, closed when it ends.
struct held_dirs {
  HANDLE h[64];
  int n = 0;
  ~held_dirs() {
    while (n > 0) CloseHandle(h[--n]);
  }
};

}  // namespace

contained_file::~contained_file() { close(); }

void contained_file::close() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
}

contained_file::status contained_file::open(const char *dir, std::string_view rel) {
  close();
  std::wstring path = widen(dir);
  if (path.empty()) return absent;
  held_dirs held;
  // The base directory may be reached through links; it is held all the same.
  HANDLE base = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (base == INVALID_HANDLE_VALUE) return status_of_missing(GetLastError());
  held.h[held.n++] = base;
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(base, &info)) return failed;
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return absent;
  for (;;) {
    std::size_t slash = rel.find('/');
    std::string_view comp = rel.substr(0, slash);
    if (!component_is_plain(comp)) return refused;
    std::string name(comp);
    std::wstring wname = widen(name.c_str());
    if (wname.empty()) return refused;
    path += L'\\';
    path += wname;
    // Each entry is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT: a link
    // or junction is the object, not its target) and judged by its handle,
    // never by an earlier look at the name that a swap could outdate.
    bool last = slash == std::string_view::npos;
    if (!last) {
      if (held.n == static_cast<int>(sizeof held.h / sizeof held.h[0])) return failed;
      HANDLE d = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (d == INVALID_HANDLE_VALUE) return status_of_missing(GetLastError());
      held.h[held.n++] = d;
      if (!GetFileInformationByHandle(d, &info)) return failed;
      if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return refused;
      if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return absent;
      rel.remove_prefix(slash + 1);
      continue;
    }
    // Sharing delete access lets the file be replaced while it is read
    // (the manifest is rewritten beside its reader), as on POSIX.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD e = GetLastError();
      // A directory cannot be opened as a file: it is there, and refused.
      DWORD attrs = e == ERROR_ACCESS_DENIED ? GetFileAttributesW(path.c_str()) : INVALID_FILE_ATTRIBUTES;
      if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return refused;
      return status_of_missing(e);
    }
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
      CloseHandle(h);
      return refused;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_RDONLY);
    if (fd < 0) {
      CloseHandle(h);
      return failed;
    }
    fd_ = fd;
    return ok;
  }
}

contained_dir::~contained_dir() { close(); }

void contained_dir::close() {
  fd_ = -1;
  path_.clear();
}

bool contained_dir::is_open() const { return fd_ >= 0; }

// Windows looks up names by path only: each step is looked at as itself
// (a link or junction is refused), which is what the size check needs.
contained_file::status contained_dir::open(const char *dir, std::string_view rel) {
  close();
  std::string path = dir;
  std::wstring w = widen(path.c_str());
  if (w.empty()) return contained_file::absent;
  DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return status_of_missing(GetLastError());
  if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) return contained_file::absent;
  while (!rel.empty()) {
    std::size_t slash = rel.find('/');
    std::string_view comp = rel.substr(0, slash);
    if (!component_is_plain(comp)) return contained_file::refused;
    path += '\\';
    path.append(comp);
    w = widen(path.c_str());
    if (w.empty()) return contained_file::refused;
    attrs = GetFileAttributesW(w.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return status_of_missing(GetLastError());
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
      return contained_file::refused;
    rel = slash == std::string_view::npos ? std::string_view() : rel.substr(slash + 1);
  }
  path_ = path;
  fd_ = 0;
  return contained_file::ok;
}

long long contained_dir::file_size(std::string_view name) const {
  if (fd_ < 0 || !component_is_plain(name) || name.find('/') != std::string_view::npos) return -2;
  std::wstring w = widen((path_ + "\\" + std::string(name)).c_str());
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (w.empty()) return -2;
  if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &d)) {
    DWORD e = GetLastError();
    return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? -1 : -2;
  }
  if (d.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
    return -2;
  return (static_cast<long long>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

long long contained_file::read(void *buf, std::size_t n) {
  if (fd_ < 0) return -1;
  DWORD want = n > 0x40000000u ? 0x40000000u : static_cast<DWORD>(n), got = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), buf, want, &got, nullptr)) {
    set_errno_from_win32(GetLastError());
    return -1;
  }
  return static_cast<long long>(got);
}

long long contained_file::size() const {
  LARGE_INTEGER li;
  if (fd_ < 0 || !GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), &li)) return -1;
  return static_cast<long long>(li.QuadPart);
}

// append_file keeps a C runtime descriptor over the file handle, so the
// class has one layout on every system.
append_file::~append_file() { close(); }

bool append_file::open(const char *path, bool truncate) {
  close();
  HANDLE h = open_handle(path, GENERIC_WRITE, truncate ? CREATE_ALWAYS : OPEN_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return false;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_APPEND);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return false;
  }
  fd_ = fd;
  return true;
}

bool append_file::write(const void *data, std::size_t n) {
  if (fd_ < 0) return false;
  return write_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), data, n, true);
}

long long append_file::size() const {
  LARGE_INTEGER li;
  if (fd_ < 0 || !GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), &li)) return -1;
  return static_cast<long long>(li.QuadPart);
}

bool append_file::truncate(long long len) {
  if (fd_ < 0) return false;
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile.QuadPart = len;
  return SetFileInformationByHandle(reinterpret_cast<HANDLE>(_get_osfhandle(fd_)), FileEndOfFileInfo, &info,
                                    sizeof info) != 0;
}

bool append_file::sync() { return fd_ >= 0 && FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(fd_))); }

void append_file::close() {
  if (fd_ >= 0) _close(fd_);
  fd_ = -1;
}

bool sync_group(const std::vector<std::string> &files, const std::vector<std::string> &dirs) {
  // File by file (FlushFileBuffers on each), as on POSIX: only what was
  // written is flushed, never the whole volume.
  bool ok = true;
  for (const std::string &f : files) ok = sync_path(f.c_str()) && ok;
  for (const std::string &d : dirs) ok = sync_path(d.c_str()) && ok;
  return ok;
}

bool sync_path(const char *path) {
  std::wstring w = widen(path);
  if (w.empty()) return false;
  DWORD attrs = GetFileAttributesW(w.c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return false;
  // A directory's entries are made durable by the write-through rename
  // (MOVEFILE_WRITE_THROUGH); there is no directory flush to ask for.
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return true;
  HANDLE h = open_handle(path, GENERIC_WRITE, OPEN_EXISTING);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return ok;
}

bool write_file_atomic(const char *path, std::string_view data, bool durable) {
  std::string tmp = std::string(path) + ".tmp";
  HANDLE h = open_handle(tmp.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = write_handle(h, data.data(), data.size(), false);
  if (ok && durable) ok = FlushFileBuffers(h) != 0;
  ok = CloseHandle(h) && ok;
  std::wstring wt = widen(tmp.c_str()), wp = widen(path);
  DWORD how = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
  if (!ok || !move_replacing(wt.c_str(), wp.c_str(), how)) {
    DeleteFileW(wt.c_str());
    return false;
  }
  return true;
}

// --- trust -------------------------------------------------------------------

int system_ca_certs(bool (*add)(void *ctx, const unsigned char *data, std::size_t len), void *ctx) {
  // The machine's trusted roots: the ROOT store of the current user, which
  // also shows the local machine's roots.
  HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
  if (!store) return 0;
  int taken = 0;
  for (PCCERT_CONTEXT c = nullptr; (c = CertEnumCertificatesInStore(store, c)) != nullptr;) {
    if (c->dwCertEncodingType & X509_ASN_ENCODING)
      if (add(ctx, c->pbCertEncoded, c->cbCertEncoded)) ++taken;
  }
  CertCloseStore(store, 0);
  return taken;
}

bool remove_empty_dir(const char *path) { return RemoveDirectoryW(widen(path).c_str()) != 0; }

// --- directory holds -------------------------------------------------------

namespace {

// Directory holds with LockFileEx: Windows drops a process's file locks when
// its handles close, at exit or death included. The lock covers one byte far
// past the end, so another process can still read the pid the holder wrote.

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
  std::wstring path = widen((std::string(dir) + "\\" + name).c_str());
  HANDLE h = INVALID_HANDLE_VALUE;
  // A file whose holder just let go is briefly "delete pending", which
  // refuses every open; it is gone a moment later.
  for (int attempt = 0; attempt < 20; ++attempt) {
    h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED) break;
    Sleep(5);
  }
  if (h == INVALID_HANDLE_VALUE) {
    set_errno_from_win32(GetLastError());
    if (err) *err = errno;
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
    set_errno_from_win32(e);
    if (err) *err = errno;
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
  // Marked for deletion while still held: the file goes with the last
  // handle, so a finished run leaves none.
  FILE_DISPOSITION_INFO gone = {};
  gone.DeleteFile = TRUE;
  SetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

}  // namespace kq::plat
