// POSIX implementation of the platform layer.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <fcntl.h>
#include <iconv.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace kq::plat {

namespace {
addrinfo *entry_at(void *head, std::size_t i) {
  auto *a = static_cast<addrinfo *>(head);
  while (a && i--) a = a->ai_next;
  return a;
}
}  // namespace

addr_list::~addr_list() {
  if (head_) freeaddrinfo(static_cast<addrinfo *>(head_));
}

bool addr_list::resolve(const char *host, const char *port) {
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

const void *addr_list::at(std::size_t i) const { return entry_at(head_, i); }

sock_t sock_open(const void *addr) {
  auto *a = static_cast<const addrinfo *>(addr);
  int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
  return s < 0 ? bad_sock : s;
}

void sock_set_timeouts(sock_t s, int recv_s, int send_s) {
  if (recv_s > 0) {
    timeval tv{recv_s, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  if (send_s > 0) {
    timeval tv{send_s, 0};
    setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
}

void sock_set_recv_timeout_ms(sock_t s, long ms) {
  timeval tv{ms / 1000, static_cast<suseconds_t>((ms % 1000) * 1000)};
  setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

bool sock_connect(sock_t s, const void *addr, int wait_ms) {
  auto *a = static_cast<const addrinfo *>(addr);
  int fd = static_cast<int>(s);
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  bool ok = false;
  if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
    ok = true;
  } else if (errno == EINPROGRESS || errno == EWOULDBLOCK) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do r = ::poll(&p, 1, wait_ms); while (r < 0 && errno == EINTR);
    if (r > 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  fcntl(fd, F_SETFL, flags);
  return ok;
}

long sock_send(sock_t s, const void *buf, std::size_t len) {
  ssize_t r;
  do r = ::send(static_cast<int>(s), buf, len, MSG_NOSIGNAL); while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

long sock_recv(sock_t s, void *buf, std::size_t len) {
  ssize_t r;
  do r = ::recv(static_cast<int>(s), buf, len, 0); while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

void sock_close(sock_t s) {
  if (s != bad_sock) ::close(static_cast<int>(s));
}

bool sock_set_nonblocking(sock_t s, bool on) {
  int fd = static_cast<int>(s);
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

int sock_wait(sock_t s, bool want_read, bool want_write, int timeout_ms) {
  pollfd p{static_cast<int>(s), static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0};
  int r;
  do r = ::poll(&p, 1, timeout_ms); while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  if (r == 0) return 0;
  int mask = 0;
  if (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) mask |= sock_readable;
  if (p.revents & (POLLOUT | POLLERR | POLLHUP)) mask |= sock_writable;
  // An error or hang-up wakes both sides: the next call reports it.
  if (!want_read) mask &= ~sock_readable;
  if (!want_write) mask &= ~sock_writable;
  if (mask == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) mask = want_read ? sock_readable : sock_writable;
  return mask;
}

int sock_last_error() { return errno; }
bool sock_error_would_block(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
int last_errno() { return errno; }

const char *error_text(int err) {
  thread_local char buf[160];
  // The GNU strerror_r may return a static text instead of filling buf.
  auto pick = [](auto r, char *b) -> const char * {
    if constexpr (std::is_same_v<decltype(r), char *>) return r;
    else return r == 0 ? b : "unknown error";
  };
  return pick(strerror_r(err, buf, sizeof buf), buf);
}

namespace {
struct thread_start {
  void (*fn)(void *);
  void *arg;
};
void *thread_main(void *p) {
  thread_start st = *static_cast<thread_start *>(p);
  delete static_cast<thread_start *>(p);
  st.fn(st.arg);
  return nullptr;
}
}  // namespace

bool thread_spawn_detached(void (*fn)(void *), void *arg) {
  auto *st = new (std::nothrow) thread_start{fn, arg};
  if (!st) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t t;
  int r = pthread_create(&t, &attr, thread_main, st);
  pthread_attr_destroy(&attr);
  if (r != 0) {
    delete st;
    return false;
  }
  return true;
}

static_assert(sizeof(pthread_mutex_t) <= 64, "lock storage too small");

exclusive_lock::exclusive_lock() {
  new (storage_) pthread_mutex_t;
  pthread_mutex_init(reinterpret_cast<pthread_mutex_t *>(storage_), nullptr);
}
exclusive_lock::~exclusive_lock() {
  pthread_mutex_destroy(reinterpret_cast<pthread_mutex_t *>(storage_));
}
void exclusive_lock::lock() { pthread_mutex_lock(reinterpret_cast<pthread_mutex_t *>(storage_)); }
void exclusive_lock::unlock() { pthread_mutex_unlock(reinterpret_cast<pthread_mutex_t *>(storage_)); }

std::uint64_t tick_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec / 1000000);
}

void sleep_ms(unsigned ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

long long time_now() { return static_cast<long long>(::time(nullptr)); }
long long utc_from_tm(std::tm *tm) { return static_cast<long long>(timegm(tm)); }
bool utc_to_tm(long long t, std::tm *out) {
  time_t tt = static_cast<time_t>(t);
  return gmtime_r(&tt, out) != nullptr;
}

std::FILE *file_open(const char *path, const char *mode) { return std::fopen(path, mode); }

namespace {
const char *const k_ca_bundles[] = {
    "/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem", "/etc/pki/tls/cacert.pem", "/usr/local/etc/openssl/cert.pem"};
}  // namespace

int system_ca_certs(bool (*add)(void *ctx, const unsigned char *data, std::size_t len), void *ctx) {
  // The first bundle that yields certificates is the system's trust.
  for (const char *path : k_ca_bundles) {
    std::FILE *f = std::fopen(path, "rb");
    if (!f) continue;
    std::string pem;
    char buf[65536];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) pem.append(buf, n);
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed || pem.empty()) continue;
    if (add(ctx, reinterpret_cast<const unsigned char *>(pem.c_str()), pem.size() + 1)) return 1;
  }
  return 0;
}

bool make_dir(const char *path) {
  if (::mkdir(path, 0777) == 0) return true;
  struct stat st;
  return errno == EEXIST && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool windows_file_names() { return false; }

bool path_exists(const char *path) { return ::access(path, F_OK) == 0; }
bool is_regular_file(const char *path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}
bool create_new_file(const char *path, std::string_view data, bool *exists) {
  *exists = false;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    *exists = errno == EEXIST;
    return false;
  }
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::write(fd, data.data() + done, data.size() - done);
    if (w < 0 && errno == EINTR) continue;
    // A write that takes nothing sets no errno: the device took no more.
    if (w == 0) errno = ENOSPC;
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  bool ok = done == data.size();
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    int err = errno;
    ::unlink(path);
    errno = err;
  }
  return ok;
}
bool file_replace(const char *src, const char *dst) { return ::rename(src, dst) == 0; }
bool file_move_new(const char *src, const char *dst, bool *exists) {
  *exists = false;
  // A second name first: link() never replaces what is there, where
  // rename() would.
  if (::link(src, dst) == 0) {
    ::unlink(src);
    return true;
  }
  int err = errno;
  if (err == EEXIST) {
    *exists = true;
    return false;
  }
  // File systems without hard links: the archive is held by this process,
  // so a look before the rename is enough.
  if (err == EPERM || err == ENOTSUP || err == EXDEV || err == EMLINK) {
    struct stat st;
    if (::lstat(dst, &st) == 0) {
      *exists = true;
      errno = EEXIST;
      return false;
    }
    return ::rename(src, dst) == 0;
  }
  errno = err;
  return false;
}
bool remove_file(const char *path) { return ::unlink(path) == 0; }
const char *env_get(const char *name) { return std::getenv(name); }

long long file_size(const char *path) {
  struct stat st;
  return ::stat(path, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

long long read_at(const char *path, long long offset, void *buf, std::size_t n) {
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  ssize_t r;
  do r = ::pread(fd, buf, n, static_cast<off_t>(offset)); while (r < 0 && errno == EINTR);
  ::close(fd);
  return r;
}

append_file::~append_file() { close(); }

contained_file::~contained_file() { close(); }

void contained_file::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

contained_file::status contained_file::open(const char *dir, std::string_view rel) {
  close();
  int at = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) return errno == ENOENT || errno == ENOTDIR ? absent : failed;
  status st = failed;
  std::string name;
  for (;;) {
    std::size_t slash = rel.find('/');
    std::string_view comp = rel.substr(0, slash);
    if (comp.empty() || comp == "." || comp == ".." || comp.find('\0') != std::string_view::npos) {
      st = refused;
      break;
    }
    name.assign(comp);
    // Look before opening: opening a device or a FIFO can block or act.
    struct stat sb;
    if (::fstatat(at, name.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) {
      st = errno == ENOENT || errno == ENOTDIR ? absent : failed;
      break;
    }
    bool last = slash == std::string_view::npos;
    if (!last) {
      if (!S_ISDIR(sb.st_mode)) {
        st = S_ISLNK(sb.st_mode) ? refused : absent;
        break;
      }
      int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (next < 0) {
        st = errno == ELOOP ? refused : failed;
        break;
      }
      ::close(at);
      at = next;
      rel.remove_prefix(slash + 1);
      continue;
    }
    if (!S_ISREG(sb.st_mode)) {
      st = refused;
      break;
    }
    // The entry may have been swapped since fstatat: refuse links and
    // anything but the same regular file.
    int fd = ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      st = errno == ELOOP ? refused : errno == ENOENT ? absent : failed;
      break;
    }
    struct stat fb;
    if (::fstat(fd, &fb) != 0 || !S_ISREG(fb.st_mode) || fb.st_dev != sb.st_dev ||
        fb.st_ino != sb.st_ino) {
      ::close(fd);
      st = refused;
      break;
    }
    fd_ = fd;
    st = ok;
    break;
  }
  ::close(at);
  return st;
}

contained_dir::~contained_dir() { close(); }

void contained_dir::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool contained_dir::is_open() const { return fd_ >= 0; }

contained_file::status contained_dir::open(const char *dir, std::string_view rel) {
  close();
  int at = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (at < 0) return errno == ENOENT || errno == ENOTDIR ? contained_file::absent : contained_file::failed;
  while (!rel.empty()) {
    std::size_t slash = rel.find('/');
    std::string_view comp = rel.substr(0, slash);
    if (comp.empty() || comp == "." || comp == ".." || comp.find('\0') != std::string_view::npos) {
      ::close(at);
      return contained_file::refused;
    }
    std::string name(comp);
    int next = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    ::close(at);
    if (next < 0)
      return err == ENOENT ? contained_file::absent
             : err == ELOOP || err == ENOTDIR ? contained_file::refused
                                              : contained_file::failed;
    at = next;
    rel = slash == std::string_view::npos ? std::string_view() : rel.substr(slash + 1);
  }
  fd_ = at;
  return contained_file::ok;
}

long long contained_dir::file_size(std::string_view name) const {
  if (fd_ < 0 || name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos)
    return -2;
  std::string n(name);
  struct stat sb;
  if (::fstatat(fd_, n.c_str(), &sb, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT ? -1 : -2;
  return S_ISREG(sb.st_mode) ? static_cast<long long>(sb.st_size) : -2;
}

long long contained_file::read(void *buf, std::size_t n) {
  if (fd_ < 0) return -1;
  for (;;) {
    ssize_t r = ::read(fd_, buf, n);
    if (r >= 0) return static_cast<long long>(r);
    if (errno != EINTR) return -1;
  }
}

long long contained_file::size() const {
  struct stat sb;
  if (fd_ < 0 || ::fstat(fd_, &sb) != 0) return -1;
  return static_cast<long long>(sb.st_size);
}

bool append_file::open(const char *path, bool truncate) {
  close();
  int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  int fd;
  do fd = ::open(path, flags, 0666); while (fd < 0 && errno == EINTR);
  fd_ = fd;
  return fd_ >= 0;
}

bool append_file::write(const void *data, std::size_t n) {
  if (fd_ < 0) return false;
  auto *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w == 0) errno = ENOSPC;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

long long append_file::size() const {
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  return static_cast<long long>(st.st_size);
}

bool append_file::truncate(long long len) {
  return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(len)) == 0;
}

bool append_file::sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

void append_file::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool sync_path(const char *path) {
  int fd;
  do fd = ::open(path, O_RDONLY | O_CLOEXEC); while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool sync_group(const std::vector<std::string> &files, const std::vector<std::string> &dirs) {
  // File by file: syncfs would also flush every other process's dirty data
  // on the file system, a cost (on a busy disk, seconds) that has nothing to
  // do with the archive. The caller batches what it wrote since the last
  // call, so one call still covers many messages.
  bool ok = true;
  for (const std::string &f : files) ok = sync_path(f.c_str()) && ok;
  for (const std::string &d : dirs) ok = sync_path(d.c_str()) && ok;
  return ok;
}

bool write_file_atomic(const char *path, std::string_view data, bool durable) {
  std::string tmp = std::string(path) + ".tmp";
  int fd;
  do fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644); while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  std::size_t off = 0;
  bool ok = true;
  while (off < data.size()) {
    ssize_t w = ::write(fd, data.data() + off, data.size() - off);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      ok = false;
      break;
    }
    off += static_cast<std::size_t>(w);
  }
  if (ok && durable) ok = ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(tmp.c_str(), path) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  if (durable) {
    std::string dir = path;
    std::size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    sync_path(dir.c_str());
  }
  return true;
}

bool charset_to_utf8(const char *charset, std::string_view in, std::string &out) {
  iconv_t cd = iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string result;
  result.resize(in.size() * 4 + 16);
  char *src = const_cast<char *>(in.data());
  std::size_t src_left = in.size();
  char *dst = result.data();
  std::size_t dst_left = result.size();
  bool ok = true;
  while (src_left > 0) {
    if (::iconv(cd, &src, &src_left, &dst, &dst_left) == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) {
        std::size_t used = result.size() - dst_left;
        result.resize(result.size() * 2);
        dst = result.data() + used;
        dst_left = result.size() - used;
        continue;
      }
      ok = false;
      break;
    }
  }
  // Flush any shift state (ISO-2022-JP ends in ASCII mode).
  if (ok && ::iconv(cd, nullptr, nullptr, &dst, &dst_left) == static_cast<std::size_t>(-1)) ok = false;
  iconv_close(cd);
  if (!ok) return false;
  result.resize(result.size() - dst_left);
  out = std::move(result);
  return true;
}

bool remove_empty_dir(const char *path) { return ::rmdir(path) == 0; }

// --- directory holds -------------------------------------------------------

namespace {

// Directory holds with flock(2): the lock belongs to the open file, so the
// kernel drops it when the holder closes it or dies, and a second open of
// the same file in one process conflicts like another process would. The
// holder removes the file before it lets go, so a finished run leaves none;
// whoever locked the file just then finds it gone and tries a fresh one.

// The holder's pid as it wrote it; 0 when the file holds none.
long read_pid(int fd) {
  char buf[32] = {};
  ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  char *end = nullptr;
  long pid = std::strtol(buf, &end, 10);
  return pid > 0 ? pid : 0;
}

}  // namespace

dir_lock::~dir_lock() { release(); }

dir_lock::status dir_lock::acquire(const char *dir, const char *name, long *pid, int *err) {
  release();
  if (pid) *pid = 0;
  if (err) *err = 0;
  std::string path = std::string(dir) + "/" + name;
  int fd = -1;
  // A file its holder removed between our open and our lock is no hold:
  // only the file that still has the name counts.
  for (int attempt = 0; fd < 0; ++attempt) {
    do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (err) *err = errno;
      return failed;
    }
    int rc;
    do rc = ::flock(fd, LOCK_EX | LOCK_NB); while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      int e = errno;
      if (e == EWOULDBLOCK && pid) *pid = read_pid(fd);
      ::close(fd);
      if (e == EWOULDBLOCK) return busy;
      if (err) *err = e;
      return failed;
    }
    struct stat held_st, named_st;
    bool same = ::fstat(fd, &held_st) == 0 && ::lstat(path.c_str(), &named_st) == 0 &&
                held_st.st_dev == named_st.st_dev && held_st.st_ino == named_st.st_ino;
    if (!same) {
      ::close(fd);
      fd = -1;
      if (attempt == 8) {
        if (err) *err = EAGAIN;
        return failed;
      }
    }
  }
  // The pid is only for the message a second run shows; the lock is the
  // flock, so a failure to write it changes nothing.
  char text[32];
  int n = std::snprintf(text, sizeof text, "%ld\n", static_cast<long>(::getpid()));
  if (::ftruncate(fd, 0) == 0 && n > 0) {
    ssize_t w = ::pwrite(fd, text, static_cast<std::size_t>(n), 0);
    (void)w;
  }
  handle_ = fd;
  path_ = path;
  return held;
}

void dir_lock::release() {
  if (handle_ < 0) return;
  // Removed while still held, then closed (which drops the flock).
  ::unlink(path_.c_str());
  ::close(static_cast<int>(handle_));
  handle_ = -1;
  path_.clear();
}

long process_id() { return static_cast<long>(::getpid()); }

}  // namespace kq::plat
