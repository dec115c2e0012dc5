// Windows half of net.h: the same loopback client and listener over
// Winsock 2 (WSAPoll for the waits). Winsock reports errors through
// WSAGetLastError; sock_errno() maps the few the logic tells apart onto the
// errno names the POSIX half uses, so both halves read alike.
#include "support/platform/net.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

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

int sock_errno() {
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEINTR: return EINTR;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNREFUSED: return ECONNREFUSED;
    default: return EIO;
  }
}

void close_fd(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }

void set_nonblocking(int fd) {
  u_long on = 1;
  ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on);
}

int new_tcp_socket() {
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA d;
    WSAStartup(MAKEWORD(2, 2), &d);
  });
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  // Socket handles are small numbers in practice; net.h keeps an int.
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

sockaddr_in loopback(int port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int wait_fd(int fd, short events, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(fd);
  p.events = events;
  int r = WSAPoll(&p, 1, timeout_ms);
  return r == SOCKET_ERROR ? -1 : r;
}

// Windows raises no signal for a closed peer.
constexpr int kSendFlags = 0;

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
    if (err) *err = std::string("socket: ") + strerror(sock_errno());
    return Socket();
  }
  set_nonblocking(fd);
  sockaddr_in a = loopback(port);
  int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  if (rc != 0 && sock_errno() != EINPROGRESS && sock_errno() != EWOULDBLOCK) {
    if (err) *err = std::string("connect: ") + strerror(sock_errno());
    close_fd(fd);
    return Socket();
  }
  if (rc != 0) {
    if (wait_fd(fd, POLLWRNORM, timeout_ms) <= 0) {
      if (err) *err = "connect: timed out";
      close_fd(fd);
      return Socket();
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&soerr), &len);
    if (soerr != 0) {
      if (err) *err = std::string("connect: ") + std::to_string(soerr);
      close_fd(fd);
      return Socket();
    }
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  return Socket(fd);
}

long Socket::send_some(const char *data, std::size_t len, int timeout_ms) {
  if (fd_ < 0) return -1;
  if (len == 0) return 0;
  for (;;) {
    int n = ::send(fd_, data, len > 0x40000000u ? 0x40000000 : static_cast<int>(len), kSendFlags);
    if (n >= 0) return static_cast<long>(n);
    if (sock_errno() == EINTR) continue;
    if (sock_errno() != EAGAIN && sock_errno() != EWOULDBLOCK) return -1;
    int r = wait_fd(fd_, POLLWRNORM, timeout_ms);
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
    int n = ::recv(fd_, tmp, sizeof tmp, 0);
    if (n > 0) {
      buf_.append(tmp, static_cast<std::size_t>(n));
      return static_cast<long>(n);
    }
    if (n == 0) return kRecvEof;
    if (sock_errno() == EINTR) continue;
    if (sock_errno() != EAGAIN && sock_errno() != EWOULDBLOCK) return kRecvError;
    int r = wait_fd(fd_, POLLRDNORM, remaining(deadline));
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
  if (fd_ >= 0) ::shutdown(fd_, SD_SEND);
}

void Socket::close() {
  if (fd_ >= 0) close_fd(fd_);
  fd_ = -1;
  buf_.clear();
}

void Socket::abort() {
  if (fd_ >= 0) {
    struct linger lg = {1, 0};  // an RST on close
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lg), sizeof lg);
  }
  close();
}

Listener::~Listener() { close(); }

bool Listener::open_loopback(int port, std::string *err) {
  close();
  int fd = new_tcp_socket();
  if (fd < 0) {
    if (err) *err = std::string("socket: ") + strerror(sock_errno());
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one);
  sockaddr_in a = loopback(port);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::listen(fd, 16) != 0) {
    if (err) *err = std::string("bind/listen: ") + strerror(sock_errno());
    close_fd(fd);
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
    SOCKET cs = ::accept(fd_, nullptr, nullptr);
    int c = cs == INVALID_SOCKET ? -1 : static_cast<int>(cs);
    if (c >= 0) {
      set_nonblocking(c);
      int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
      return Socket(c);
    }
    if (sock_errno() == EINTR || sock_errno() == ECONNABORTED) continue;
    if (sock_errno() != EAGAIN && sock_errno() != EWOULDBLOCK) return Socket();
    if (wait_fd(fd_, POLLRDNORM, remaining(deadline)) <= 0) return Socket();
  }
}

void Listener::close() {
  if (fd_ >= 0) close_fd(fd_);
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
  close_fd(fd);
  return port;
}

}  // namespace kqtest::platform
