// Directory holds with flock(2): the lock belongs to the open file, so the
// kernel drops it when the holder closes it or dies, and a second open of
// the same file in one process conflicts like another process would.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/platform.h"

namespace kq::plat {

namespace {

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
  int fd;
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
    if (e == EWOULDBLOCK) {
      if (pid) *pid = read_pid(fd);
      ::close(fd);
      return busy;
    }
    ::close(fd);
    if (err) *err = e;
    return failed;
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
  return held;
}

void dir_lock::release() {
  if (handle_ < 0) return;
  // Closing drops the flock; the file stays, so a waiting opener never
  // locks a name another run is about to unlink.
  ::close(static_cast<int>(handle_));
  handle_ = -1;
}

long process_id() { return static_cast<long>(::getpid()); }

}  // namespace kq::plat
