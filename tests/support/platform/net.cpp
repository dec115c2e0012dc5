#include "support/platform/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kqtest::platform {
namespace {

long long mono_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int remaining(long long deadline) {
  long long left = deadline - mono_ms();
  return left < 0 ? 0 : static_cast<int>(left);
}

void set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl | O_NONBLOCK);
}

int new_tcp_socket() {
#if defined(SOCK_CLOEXEC)
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  return fd;
}

sockaddr_in loopback(int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// poll() on one descriptor, restarting on EINTR with the time that is left.
int wait_fd(int fd, short events, int timeout_ms) {
  const long long deadline = mono_ms() + timeout_ms;
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int r = poll(&p, 1, remaining(deadline));
    if (r >= 0) return r;
    if (errno != EINTR) return -1;
  }
}

#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

Socket::Socket(int fd) : fd_(fd) {}

Socket::~Socket() { close(); }

Socket::Socket(Socket &&other) noexcept
    : fd_(other.fd_), buf_(std::move(other.buf_)) {
  other.fd_ = -1;
}

Socket &Socket::operator=(Socket &&other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    buf_ = std::move(other.buf_);
    other.fd_ = -1;
  }
  return *this;
}

Socket Socket::connect_loopback(int port, int timeout_ms, std::string *err) {
  int fd = new_tcp_socket();
  if (fd < 0) {
    if (err) *err = std::string("socket: ") + strerror(errno);
    return Socket();
  }
  set_nonblocking(fd);
  sockaddr_in a = loopback(port);
  int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  if (rc != 0 && errno != EINPROGRESS) {
    if (err) *err = std::string("connect: ") + strerror(errno);
    ::close(fd);
    return Socket();
  }
  if (rc != 0) {
    if (wait_fd(fd, POLLOUT, timeout_ms) <= 0) {
      if (err) *err = "connect: timed out";
      ::close(fd);
      return Socket();
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (soerr != 0) {
      if (err) *err = std::string("connect: ") + strerror(soerr);
      ::close(fd);
      return Socket();
    }
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return Socket(fd);
}

long Socket::send_some(const char *data, std::size_t len, int timeout_ms) {
  if (fd_ < 0) return -1;
  if (len == 0) return 0;
  for (;;) {
    ssize_t n = ::send(fd_, data, len, kSendFlags);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    int r = wait_fd(fd_, POLLOUT, timeout_ms);
    if (r < 0) return -1;
    if (r == 0) return 0;
    timeout_ms = 0;  // writable now: one more try, then report
  }
}

bool Socket::send_all(const std::string &data, int timeout_ms) {
  const long long deadline = mono_ms() + timeout_ms;
  std::size_t off = 0;
  while (off < data.size()) {
    int left = remaining(deadline);
    long n = send_some(data.data() + off, data.size() - off, left);
    if (n < 0) return false;
    if (n == 0 && left == 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

long Socket::fill(int timeout_ms) {
  if (fd_ < 0) return kRecvError;
  char tmp[65536];
  const long long deadline = mono_ms() + timeout_ms;
  for (;;) {
    ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
    if (n > 0) {
      buf_.append(tmp, static_cast<std::size_t>(n));
      return static_cast<long>(n);
    }
    if (n == 0) return kRecvEof;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return kRecvError;
    int r = wait_fd(fd_, POLLIN, remaining(deadline));
    if (r < 0) return kRecvError;
    if (r == 0) return kRecvTimeout;
  }
}

long Socket::recv_some(char *buf, std::size_t len, int timeout_ms) {
  if (buf_.empty()) {
    long r = fill(timeout_ms);
    if (r <= 0) return r;
  }
  std::size_t n = buf_.size() < len ? buf_.size() : len;
  std::memcpy(buf, buf_.data(), n);
  buf_.erase(0, n);
  return static_cast<long>(n);
}

bool Socket::read_line(std::string *line, int timeout_ms, long *status) {
  const long long deadline = mono_ms() + timeout_ms;
  std::size_t scanned = 0;
  for (;;) {
    std::size_t lf = buf_.find('\n', scanned);
    if (lf != std::string::npos) {
      std::size_t end = lf;
      if (end > 0 && buf_[end - 1] == '\r') --end;
      line->assign(buf_, 0, end);
      buf_.erase(0, lf + 1);
      return true;
    }
    scanned = buf_.size();
    long r = fill(remaining(deadline));
    if (r <= 0) {
      if (status) *status = r;
      return false;
    }
  }
}

bool Socket::read_exact(std::size_t n, std::string *out, int timeout_ms,
                        long *status) {
  const long long deadline = mono_ms() + timeout_ms;
  while (buf_.size() < n) {
    long r = fill(remaining(deadline));
    if (r <= 0) {
      if (status) *status = r;
      return false;
    }
  }
  out->assign(buf_, 0, n);
  buf_.erase(0, n);
  return true;
}

bool Socket::wait_eof(int timeout_ms, std::string *drained) {
  const long long deadline = mono_ms() + timeout_ms;
  for (;;) {
    if (drained) drained->append(buf_);
    buf_.clear();
    long r = fill(remaining(deadline));
    if (r == kRecvEof || r == kRecvError) return true;
    if (r == kRecvTimeout) return false;
  }
}

void Socket::shutdown_write() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buf_.clear();
}

void Socket::abort() {
  if (fd_ >= 0) {
    struct linger lg = {1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  }
  close();
}

Listener::~Listener() { close(); }

bool Listener::open_loopback(int port, std::string *err) {
  close();
  int fd = new_tcp_socket();
  if (fd < 0) {
    if (err) *err = std::string("socket: ") + strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::listen(fd, 16) != 0) {
    if (err) *err = std::string("bind/listen: ") + strerror(errno);
    ::close(fd);
    return false;
  }
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  set_nonblocking(fd);
  fd_ = fd;
  port_ = ntohs(a.sin_port);
  return true;
}

Socket Listener::accept(int timeout_ms) {
  if (fd_ < 0) return Socket();
  const long long deadline = mono_ms() + timeout_ms;
  for (;;) {
    int c = ::accept(fd_, nullptr, nullptr);
    if (c >= 0) {
      fcntl(c, F_SETFD, FD_CLOEXEC);
      set_nonblocking(c);
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return Socket(c);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Socket();
    if (wait_fd(fd_, POLLIN, remaining(deadline)) <= 0) return Socket();
  }
}

void Listener::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  port_ = 0;
}

int free_loopback_port() {
  int fd = new_tcp_socket();
  if (fd < 0) return 0;
  sockaddr_in a = loopback(0);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
      port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

}  // namespace kqtest::platform
