// COMPRESS=DEFLATE: raw deflate streams (no zlib header) in both
// directions between the IMAP layer and the transport (TLS or the plain
// socket). Everything above sees, and traces, the uncompressed text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kq {

class deflate_link {
 public:
  deflate_link();
  ~deflate_link();
  deflate_link(const deflate_link &) = delete;
  deflate_link &operator=(const deflate_link &) = delete;

  // Sets up both streams; false with last_error set.
  bool init();

  // Deflates data and flushes it to a byte boundary (Z_SYNC_FLUSH), so the
  // server can read the whole of it at once; the result waits in pending().
  // False when zlib fails (out of memory).
  bool deflate(const char *data, std::size_t n);
  const char *pending() const { return out_.data() + out_pos_; }
  std::size_t pending_size() const { return out_.size() - out_pos_; }
  // n bytes of pending() went out.
  void sent(std::size_t n);

  // Compressed bytes received, to be inflated.
  void feed(const char *data, std::size_t n);
  // Inflates into buf: the count, 0 when more input is needed, -1 when the
  // server's stream is broken (error() says how).
  long inflate(char *buf, std::size_t n);
  // Text may come out of inflate() without more input.
  bool has_output() const { return in_pos_ < in_.size() || out_full_; }
  const std::string &error() const { return error_; }

 private:
  struct streams;
  streams *z_;
  std::string out_;
  std::size_t out_pos_ = 0;
  std::vector<char> in_;
  std::size_t in_pos_ = 0;
  bool out_full_ = false;  // the last inflate filled its buffer: more may wait
  std::string error_;
};

}  // namespace kq
