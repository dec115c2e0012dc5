// Loopback TCP for the test harness: a client socket and a listener, both
// non-blocking underneath, with every wait bounded by a time limit.
//
// Only 127.0.0.1 is ever used: the tests talk to servers they start
// themselves.
#pragma once

#include <cstddef>
#include <string>

namespace kqtest::platform {

// Return values of Socket::recv_some().
constexpr long kRecvEof = 0;
constexpr long kRecvError = -1;
constexpr long kRecvTimeout = -2;

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd);
  ~Socket();
  Socket(Socket &&other) noexcept;
  Socket &operator=(Socket &&other) noexcept;
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  // Connects to 127.0.0.1:port within timeout_ms.
  static Socket connect_loopback(int port, int timeout_ms,
                                 std::string *err = nullptr);

  bool valid() const { return fd_ >= 0; }

  // Sends what it can within timeout_ms: bytes sent (> 0), 0 on timeout,
  // -1 on error (peer gone).
  long send_some(const char *data, std::size_t len, int timeout_ms);
  // Sends everything or fails; the limit covers the whole call.
  bool send_all(const std::string &data, int timeout_ms);

  // Bytes read (> 0), kRecvEof, kRecvError or kRecvTimeout. Data buffered
  // by read_line() is handed out first.
  long recv_some(char *buf, std::size_t len, int timeout_ms);

  // Reads up to and including the next LF; *line gets it without the
  // trailing CRLF (or LF). false on EOF, error or timeout; *status (if
  // given) then tells which (kRecvEof/kRecvError/kRecvTimeout). Bytes of
  // an unfinished line stay buffered.
  bool read_line(std::string *line, int timeout_ms, long *status = nullptr);

  // Reads exactly n bytes (buffered ones first) within timeout_ms.
  bool read_exact(std::size_t n, std::string *out, int timeout_ms,
                  long *status = nullptr);

  // Waits up to timeout_ms for the peer to close; everything it sends
  // meanwhile is appended to *drained (if given). true if it closed.
  bool wait_eof(int timeout_ms, std::string *drained = nullptr);

  void shutdown_write();
  void close();
  // Closes with an RST instead of a FIN.
  void abort();

  // Bytes already read from the kernel but not yet handed out.
  const std::string &buffered() const { return buf_; }

 private:
  long fill(int timeout_ms);  // reads more into buf_
  int fd_ = -1;
  std::string buf_;
};

class Listener {
 public:
  Listener() = default;
  ~Listener();
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;

  // Listens on 127.0.0.1:port (0 picks a free one).
  bool open_loopback(int port, std::string *err = nullptr);
  int port() const { return port_; }
  // Waits up to timeout_ms for a connection; an invalid Socket on timeout.
  Socket accept(int timeout_ms);
  void close();

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on 127.0.0.1 that was free a moment ago (bind to 0, read it back,
// release it). Another process may grab it before we use it: callers retry.
int free_loopback_port();

}  // namespace kqtest::platform
