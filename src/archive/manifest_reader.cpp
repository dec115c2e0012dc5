#include "archive/manifest_reader.h"

#include <cstring>

#include "platform/platform.h"

namespace kq {

namespace {
constexpr std::size_t k_chunk = 65536;
}

std::string manifest_path(const char *dir) {
  std::string p(dir);
  p += "/manifest.jsonl";
  return p;
}

bool manifest_reader::open(const char *dir) {
  std::string path = manifest_path(dir);
  file_.reset(plat::file_open(path.c_str(), "rb"));
  unopenable_ = !file_ && plat::path_exists(path.c_str());
  if (!file_) return unopenable_;
  buf_ = std::make_unique<char[]>(k_chunk);
  pos_ = len_ = 0;
  return true;
}

bool manifest_reader::fill() {
  pos_ = 0;
  len_ = std::fread(buf_.get(), 1, k_chunk, file_.get());
  return len_ > 0;
}

bool manifest_reader::next(std::string_view &line) {
  if (!file_) return false;
  line_.clear();
  bool too_long = false;
  bool any = false;
  for (;;) {
    if (pos_ == len_ && !fill()) {
      // End of file: a last line without a line feed still counts.
      if (!any) return false;
      break;
    }
    any = true;
    const char *start = buf_.get() + pos_;
    const void *nl = std::memchr(start, '\n', len_ - pos_);
    std::size_t n = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - start)
                       : len_ - pos_;
    if (!too_long) {
      if (line_.size() + n > k_max_line) {
        too_long = true;
        line_.clear();
      } else {
        line_.append(start, n);
      }
    }
    pos_ += n;
    if (nl) {
      ++pos_;
      if (too_long) {
        // Skip the oversized line and go on with the next one.
        too_long = false;
        any = false;
        continue;
      }
      break;
    }
  }
  if (too_long) return false;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  line = line_;
  return true;
}

}  // namespace kq
