// The byte stream to the server: a socket, with TLS on top when asked for.
// Plain and TLS sit behind the same three calls, and this is the one place
// that decides the stream is lost.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace kq {

struct tls_state;
class deflate_link;

class transport {
 public:
  transport();
  ~transport();
  transport(const transport &) = delete;
  transport &operator=(const transport &) = delete;

  // TCP connect to host:port within connect_s seconds; the socket is left
  // non-blocking. False with last_error set.
  bool open(const char *host, int port, int connect_s);
  // TLS handshake over the open socket, verified against ca_file (or the
  // system's bundle) when verify is set; at most deadline_ms in total.
  bool start_tls(const char *host, const char *ca_file, bool verify, int deadline_ms);

  // Sends some of data; the count sent (0 when the socket is full), or -1
  // when the stream is lost.
  long send_some(const char *data, std::size_t n);
  // Receives into buf; the count, 0 when nothing is there yet, -1 when the
  // stream is lost (closed by the server included: see lost_reason).
  long recv_some(char *buf, std::size_t n);
  // Waits until reading (and, with want_write, writing) can make progress,
  // at most timeout_ms. Returns the platform's readiness mask.
  int wait(bool want_write, int timeout_ms);
  // TLS may hold decrypted bytes the socket no longer shows.
  bool has_buffered() const;
  // Bytes read off the socket so far, TLS records counted as they come in
  // (a record still incomplete yields nothing to recv_some yet). Only the
  // growth means anything: it says the peer is not silent.
  std::uint64_t bytes_in() const;

  // From now on both directions are raw deflate streams (COMPRESS=DEFLATE),
  // above TLS when it is on. already_read: bytes received past the server's
  // OK, which belong to the compressed stream. False with last_error set.
  bool start_compress(const char *already_read, std::size_t n);
  bool is_compressed() const { return z_ != nullptr; }
  // The bytes the IMAP layer sent and received, and what they took on the
  // wire under compression (equal to them without it; TLS records not
  // counted).
  std::uint64_t plain_out() const;
  std::uint64_t plain_in() const;
  std::uint64_t wire_out() const;
  std::uint64_t wire_in() const;

  void close();
  bool is_open() const { return sock_ != plat::bad_sock; }
  bool is_tls() const { return tls_ != nullptr && tls_up_; }
  bool lost() const { return lost_; }
  // Marks the stream lost with its reason (the first reason stays).
  void mark_lost(const std::string &reason);
  const std::string &lost_reason() const { return lost_reason_; }
  // The plain stream's first bytes were a TLS record: the port wants ssl 1
  // (lost_reason says so).
  bool heard_tls() const { return heard_tls_; }

 private:
  // The socket and the lost mark are read by kq_status from any host thread
  // while the worker that owns the stream may close or lose it.
  std::atomic<plat::sock_t> sock_{plat::bad_sock};
  std::unique_ptr<tls_state> tls_;
  bool tls_up_ = false;
  bool heard_tls_ = false;
  int port_ = 0;
  std::atomic<bool> lost_{false};
  std::string lost_reason_;
  std::uint64_t raw_in_ = 0;
  std::unique_ptr<deflate_link> z_;
  std::uint64_t plain_out_ = 0, plain_in_ = 0, wire_out_ = 0, wire_in_ = 0;
  // The unsent deflated bytes go out before anything else; false when the
  // stream is lost.
  bool flush_deflated();
  long raw_send(const char *data, std::size_t n);
  long raw_recv(char *buf, std::size_t n);
};

}  // namespace kq
