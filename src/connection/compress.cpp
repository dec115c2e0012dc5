#include "connection/compress.h"

#include <zlib.h>

#include "base/error.h"
#include "connection/session.h"

namespace kq {

struct deflate_link::streams {
  z_stream def{};
  z_stream inf{};
  bool def_up = false;
  bool inf_up = false;
};

deflate_link::deflate_link() : z_(new streams) {}

deflate_link::~deflate_link() {
  if (z_->def_up) deflateEnd(&z_->def);
  if (z_->inf_up) inflateEnd(&z_->inf);
  delete z_;
}

bool deflate_link::init() {
  // Negative window bits: raw deflate, as COMPRESS=DEFLATE requires. The
  // client sends little (commands), so the default level costs nothing.
  if (deflateInit2(&z_->def, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    set_err("cannot start compression: zlib deflateInit2 failed");
    return false;
  }
  z_->def_up = true;
  if (inflateInit2(&z_->inf, -15) != Z_OK) {
    set_err("cannot start compression: zlib inflateInit2 failed");
    return false;
  }
  z_->inf_up = true;
  return true;
}

bool deflate_link::deflate(const char *data, std::size_t n) {
  if (out_pos_ == out_.size()) {
    out_.clear();
    out_pos_ = 0;
  }
  z_stream &d = z_->def;
  d.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
  d.avail_in = static_cast<uInt>(n);
  // A sync flush is complete once deflate leaves room in its output.
  for (;;) {
    std::size_t at = out_.size();
    std::size_t room = n / 2 + 1024;
    out_.resize(at + room);
    d.next_out = reinterpret_cast<Bytef *>(out_.data() + at);
    d.avail_out = static_cast<uInt>(room);
    int r = ::deflate(&d, Z_SYNC_FLUSH);
    out_.resize(at + room - d.avail_out);
    if (r != Z_OK && r != Z_BUF_ERROR) return false;
    if (d.avail_out != 0 && d.avail_in == 0) return true;
  }
}

void deflate_link::sent(std::size_t n) {
  out_pos_ += n;
  if (out_pos_ == out_.size()) {
    out_.clear();
    out_pos_ = 0;
  }
}

void deflate_link::feed(const char *data, std::size_t n) {
  if (in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  }
  in_.insert(in_.end(), data, data + n);
}

long deflate_link::inflate(char *buf, std::size_t n) {
  if (!error_.empty()) return -1;
  z_stream &f = z_->inf;
  f.next_in = reinterpret_cast<Bytef *>(in_.data() + in_pos_);
  f.avail_in = static_cast<uInt>(in_.size() - in_pos_);
  f.next_out = reinterpret_cast<Bytef *>(buf);
  f.avail_out = static_cast<uInt>(n);
  int r = ::inflate(&f, Z_SYNC_FLUSH);
  in_pos_ = in_.size() - f.avail_in;
  std::size_t got = n - f.avail_out;
  out_full_ = got == n;
  if (in_pos_ == in_.size()) {
    in_.clear();
    in_pos_ = 0;
  }
  if (r == Z_OK || r == Z_BUF_ERROR) return static_cast<long>(got);
  // The server never ends its stream while the connection lasts; text after
  // an end could not be read either.
  if (r == Z_STREAM_END) error_ = "the server ended its compressed stream";
  else error_ = std::string("the server's compressed stream is corrupt: ") + (f.msg ? f.msg : "zlib error");
  return got > 0 ? static_cast<long>(got) : -1;
}

int session::start_compress() {
  int rc = exec("COMPRESS DEFLATE");
  if (rc < 0) return -1;
  // NO (COMPRESSIONACTIVE, or not now) or BAD: the session goes on as it was.
  if (rc != 0) return 0;
  // The server compresses from the byte after its OK's line on; anything
  // already read past that line is compressed.
  const char *rest = inbuf_.data() + in_pos_;
  std::size_t n = in_len_ - in_pos_;
  in_pos_ = in_len_ = 0;
  if (!tx_.start_compress(rest, n)) {
    lose(last_error());
    return -1;
  }
  return 0;
}

}  // namespace kq
