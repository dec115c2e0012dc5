#include "archive/sha256_file.h"

#include "base/sha256.h"
#include "platform/platform.h"

namespace kq {

void digest_hex(const unsigned char digest[32], char hex[65]) {
  static const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 32; ++i) {
    hex[2 * i] = digits[digest[i] >> 4];
    hex[2 * i + 1] = digits[digest[i] & 15];
  }
  hex[64] = '\0';
}

plat::contained_file::status sha256_file_hex(const char *dir, std::string_view rel,
                                             unsigned char *buf, char hex[65]) {
  plat::contained_file f;
  plat::contained_file::status st = f.open(dir, rel);
  if (st != plat::contained_file::ok) return st;
  sha256 ctx;
  long long n;
  while ((n = f.read(buf, k_hash_chunk)) > 0)
    ctx.update(buf, static_cast<std::size_t>(n));
  if (n < 0) return plat::contained_file::failed;
  unsigned char digest[32];
  ctx.finish(digest);
  digest_hex(digest, hex);
  return plat::contained_file::ok;
}

}  // namespace kq
