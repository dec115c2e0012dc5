// Thin operating-system layer: sockets, threads, one lock, clocks, UTC time
// and the few file-system calls the library needs. Every other file of the
// library is portable and reaches the system only through these wrappers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/thread_annotations.h"

namespace kq::plat {

// --- sockets ---------------------------------------------------------------

using sock_t = std::intptr_t;          // a socket handle; bad_sock when none
inline constexpr sock_t bad_sock = -1;

// Resolved addresses of one host and port (wraps getaddrinfo/freeaddrinfo).
class addr_list {
 public:
  addr_list() = default;
  ~addr_list();
  addr_list(const addr_list &) = delete;
  addr_list &operator=(const addr_list &) = delete;
  // Resolves with unspecified family, stream sockets; false on failure.
  bool resolve(const char *host, const char *port);
  std::size_t size() const;
  const void *at(std::size_t i) const;  // opaque address entry
 private:
  void *head_ = nullptr;
};

// Creates a socket for the address's family, type and protocol.
sock_t sock_open(const void *addr);
// Sets the receive and send time-outs in seconds (0 leaves that one unset).
void sock_set_timeouts(sock_t s, int recv_s, int send_s);
// Sets only the receive time-out, in milliseconds.
void sock_set_recv_timeout_ms(sock_t s, long ms);
// Non-blocking connect that waits at most wait_ms for the socket to become
// writable and checks SO_ERROR; the socket is blocking again afterwards.
bool sock_connect(sock_t s, const void *addr, int wait_ms);
// One send call; never raises SIGPIPE. Returns bytes sent or -1.
long sock_send(sock_t s, const void *buf, std::size_t len);
// One receive call. Returns bytes received, 0 when the peer closed, -1.
long sock_recv(sock_t s, void *buf, std::size_t len);
void sock_close(sock_t s);
// Switches a connected socket between blocking and non-blocking mode.
bool sock_set_nonblocking(sock_t s, bool on);
// Waits until the socket is readable (want_read) and/or writable
// (want_write), at most timeout_ms (-1: no limit). Returns a mask of
// sock_readable | sock_writable (readable also on EOF or error), 0 on
// time-out, -1 on failure.
inline constexpr int sock_readable = 1;
inline constexpr int sock_writable = 2;
int sock_wait(sock_t s, bool want_read, bool want_write, int timeout_ms);
// The last socket error and whether it means "would block / timed out".
int sock_last_error();
bool sock_error_would_block(int err);
// Text of a system error number, in thread-local storage.
const char *error_text(int err);
// The current C library error number (errno).
int last_errno();

// --- threads and time ------------------------------------------------------

// Starts a detached thread running fn(arg); false when it could not start.
bool thread_spawn_detached(void (*fn)(void *), void *arg);

// One exclusive lock (SRW lock on Windows, a mutex here).
class KQ_CAPABILITY("mutex") exclusive_lock {
 public:
  exclusive_lock();
  ~exclusive_lock();
  exclusive_lock(const exclusive_lock &) = delete;
  exclusive_lock &operator=(const exclusive_lock &) = delete;
  void lock() KQ_ACQUIRE();
  void unlock() KQ_RELEASE();
 private:
  alignas(8) unsigned char storage_[64];
};

// Monotonic milliseconds since an arbitrary start.
std::uint64_t tick_ms();
void sleep_ms(unsigned ms);
// Seconds since 1970 now, and UTC conversion both ways.
long long time_now();
long long utc_from_tm(std::tm *tm);                  // timegm
bool utc_to_tm(long long t, std::tm *out);           // gmtime_r

// Holds an exclusive_lock for one scope.
class KQ_SCOPED_CAPABILITY lock_guard {
 public:
  explicit lock_guard(exclusive_lock &l) KQ_ACQUIRE(l) : l_(l) { l_.lock(); }
  ~lock_guard() KQ_RELEASE() { l_.unlock(); }
  lock_guard(const lock_guard &) = delete;
  lock_guard &operator=(const lock_guard &) = delete;
 private:
  exclusive_lock &l_;
};

// --- text ------------------------------------------------------------------

// Converts text in the named charset (a MIME charset name such as
// "iso-8859-1" or "windows-1252") to UTF-8 with the system's converter.
// False, out unchanged, when the charset is unknown or the bytes do not
// convert.
bool charset_to_utf8(const char *charset, std::string_view in, std::string &out);

// --- trust -----------------------------------------------------------------

// Hands the system's trusted CA certificates to add(ctx, data, len), as PEM
// bundles (NUL included in len) or single DER certificates; add returns
// whether it took them. Returns how many were taken; 0 when the system has
// none the caller could use.
int system_ca_certs(bool (*add)(void *ctx, const unsigned char *data, std::size_t len), void *ctx);

// --- files -----------------------------------------------------------------

// True where names the library makes for files and directories must also
// be names Windows can hold (base/windows_names.h); elsewhere they are kept
// as they always were, since stored archives are found again by them.
bool windows_file_names();

// fopen with a UTF-8 path; binary on every system. Null with errno set.
std::FILE *file_open(const char *path, const char *mode);

// Creates one directory; true when created or already there.
bool make_dir(const char *path);
// Removes a directory only when it is empty; false otherwise.
bool remove_empty_dir(const char *path);
bool path_exists(const char *path);
// True when path names a regular file (stat, following links).
bool is_regular_file(const char *path);
// Creates path as a new file holding data. Fails, touching nothing, when
// anything already has that name (a dangling link included; no link is
// followed); *exists then tells that this was the reason. A file cut short
// by a failed write is removed.
bool create_new_file(const char *path, std::string_view data, bool *exists);
// Moves the file src to the name dst, which must not exist yet: fails,
// touching nothing, when anything has that name (*exists then true). Both
// names lie on one file system.
bool file_move_new(const char *src, const char *dst, bool *exists);
// Removes a file; false when it could not be removed.
bool remove_file(const char *path);
// Replaces dst by src atomically where the system allows it. Where an open
// handle on dst blocks the replace (Windows), it is tried again for about two
// seconds, time enough for a reader in another thread to finish.
bool file_replace(const char *src, const char *dst);
// A file written only at its end (O_APPEND). write() hands the whole buffer
// to the system in one call where it can, so a line is never interleaved.
class append_file {
 public:
  append_file() = default;
  ~append_file();
  append_file(const append_file &) = delete;
  append_file &operator=(const append_file &) = delete;
  // Opens or creates path; truncate empties it first.
  bool open(const char *path, bool truncate);
  bool is_open() const { return fd_ >= 0; }
  bool write(const void *data, std::size_t n);   // every byte, or false
  long long size() const;                        // -1 when unknown
  bool truncate(long long len);                  // cuts the file to len bytes
  bool sync();                                   // to stable storage (fsync)
  void close();
 private:
  int fd_ = -1;
};
// Writes a whole file: to path + ".tmp", synced when durable, then renamed
// over path (and the directory synced when durable). False on any failure,
// the old file then untouched.
bool write_file_atomic(const char *path, std::string_view data, bool durable);
// Flushes a file, or a directory's entries, to stable storage.
bool sync_path(const char *path);
// Flushes a group of files and directories to stable storage, each one on
// its own: only what the caller wrote is flushed, never the rest of the
// file system.
bool sync_group(const std::vector<std::string> &files, const std::vector<std::string> &dirs);
// Size of a file in bytes, -1 when it cannot be examined.
long long file_size(const char *path);
// Reads up to n bytes at a byte offset of a file (files past 2 GiB too);
// the count read, or -1 when the file cannot be read.
long long read_at(const char *path, long long offset, void *buf, std::size_t n);
// A file opened for reading only when it lies inside a directory. The
// archive readers open what a manifest (a file anyone may edit) names: a
// symbolic link anywhere on the way, a ".." step, or a final object that is
// not a regular file (a device, a FIFO, a directory) must neither be read
// nor block the caller.
class contained_file {
 public:
  enum status { ok, absent, refused, failed };
  contained_file() = default;
  ~contained_file();
  contained_file(const contained_file &) = delete;
  contained_file &operator=(const contained_file &) = delete;
  // Opens rel, '/'-separated, below dir (dir itself may be reached through
  // links). absent: some component does not exist; refused: an empty, "."
  // or ".." component, a symbolic link, or a final object that is no
  // regular file; failed: any other error.
  status open(const char *dir, std::string_view rel);
  bool is_open() const { return fd_ >= 0; }
  // Up to n bytes; 0 at the end of the file, -1 on a read error.
  long long read(void *buf, std::size_t n);
  long long size() const;  // -1 when unknown
  void close();
 private:
  int fd_ = -1;
};
// A directory inside another, opened once so the sizes of many files in it
// cost one look each, with no walk from the top and no file opened: a
// manifest's check of what is stored. The walk to it follows
// contained_file's rules (no link, no "." or ".." step).
class contained_dir {
 public:
  contained_dir() = default;
  ~contained_dir();
  contained_dir(const contained_dir &) = delete;
  contained_dir &operator=(const contained_dir &) = delete;
  // Opens rel ('/'-separated, "" for dir itself) below dir; statuses as for
  // contained_file, refused also when rel's last step is no directory.
  contained_file::status open(const char *dir, std::string_view rel);
  bool is_open() const;
  // Size of the regular file `name` right inside: -1 when there is none by
  // that name, -2 when the name is something else (a link, a directory) or
  // cannot be looked at.
  long long file_size(std::string_view name) const;
  void close();
 private:
  int fd_ = -1;
  std::string path_;  // where the system has no directory handles to look through
};
// Holds a directory for one process: an OS lock on a file inside it, which
// the kernel lets go of when the process ends however it ends, so a killed
// run never leaves the directory held. Two holders conflict also within one
// process (each hold is its own open file). The lock file is removed when
// the hold ends normally (POSIX; Windows leaves it, empty of meaning).
class dir_lock {
 public:
  enum status { held, busy, failed };
  dir_lock() = default;
  ~dir_lock();
  dir_lock(const dir_lock &) = delete;
  dir_lock &operator=(const dir_lock &) = delete;
  // Takes the lock file `name` in dir (created when missing) without
  // waiting. busy: another holder has it; *pid then tells its process when
  // it wrote one (0 otherwise). failed: the file could not be opened,
  // errno-style reason in *err.
  status acquire(const char *dir, const char *name, long *pid, int *err);
  bool is_held() const { return handle_ >= 0; }
  void release();
 private:
  std::intptr_t handle_ = -1;
  std::string path_;
};
// The calling process's id.
long process_id();
// Reads an environment variable; null when unset.
const char *env_get(const char *name);

}  // namespace kq::plat
