#include "archive/sha256_file.h"

#include <cstdio>
#include <memory>

#include <mbedtls/sha256.h>

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

bool sha256_file_hex(const char *path, unsigned char *buf, char hex[65]) {
  struct closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, closer> f(plat::file_open(path, "rb"));
  if (!f) return false;
  struct ctx_guard {
    mbedtls_sha256_context c;
    ctx_guard() { mbedtls_sha256_init(&c); }
    ~ctx_guard() { mbedtls_sha256_free(&c); }
  } ctx;
  mbedtls_sha256_starts(&ctx.c, 0);  // 0: SHA-256, not SHA-224
  std::size_t n;
  while ((n = std::fread(buf, 1, k_hash_chunk, f.get())) > 0) mbedtls_sha256_update(&ctx.c, buf, n);
  unsigned char digest[32];
  mbedtls_sha256_finish(&ctx.c, digest);
  digest_hex(digest, hex);
  return true;
}

}  // namespace kq
