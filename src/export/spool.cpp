#include "export/spool.h"

#include <atomic>

#include "archive/file_util.h"
#include "connection/fetch_data.h"
#include "platform/platform.h"

namespace kq {

namespace {

// One body is received at a time, so a few names serve every spool; the
// names are fixed so a file left by a killed run never piles up: the next
// run to hold the archive removes it.
std::atomic<unsigned> g_next{0};

}  // namespace

body_spool::body_spool(const std::string &dir) {
  unsigned n = g_next.fetch_add(1) % k_incoming_names;
  path_ = dir + "/" + incoming_name(n);
  f_ = plat::file_open(path_.c_str(), "wb");
  if (!f_) fail(plat::last_errno());
}

body_spool::~body_spool() {
  if (f_) std::fclose(f_);
  if (!path_.empty()) plat::remove_file(path_.c_str());
}

void body_spool::fail(int err) {
  if (error_.empty()) error_ = "cannot write " + path_ + ": " + plat::error_text(err);
}

void body_spool::write(const char *data, std::size_t n) {
  if (failed() || finished_ || n == 0) return;
  hash_.update(data, n);
  size_ += static_cast<long long>(n);
  if (std::fwrite(data, 1, n, f_) != n) fail(plat::last_errno());
}

void body_spool::finish() {
  if (finished_) return;
  finished_ = true;
  unsigned char sum[32];
  hash_.finish(sum);
  static const char k_hex[] = "0123456789abcdef";
  hex_.assign(64, '0');
  for (int i = 0; i < 32; ++i) {
    hex_[2 * i] = k_hex[sum[i] >> 4];
    hex_[2 * i + 1] = k_hex[sum[i] & 15];
  }
  if (!f_) return;
  bool ok = std::fflush(f_) == 0 && !std::ferror(f_);
  int err = plat::last_errno();
  if (std::fclose(f_) != 0 && ok) {
    ok = false;
    err = plat::last_errno();
  }
  f_ = nullptr;
  if (!ok) fail(err);
}

literal_sink_factory spool_factory(const std::string &dir, long long from) {
  return [dir, from](std::string_view line, long long size) -> literal_sink_ptr {
    if (size < from || !announces_whole_body(line)) return nullptr;
    return std::make_shared<body_spool>(dir);
  };
}

}  // namespace kq
