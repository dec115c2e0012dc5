#include "base/sha256.h"

#include <cstdlib>

#if defined(KQ_SHA256_OPENSSL)
#include <openssl/evp.h>
#else
#include <mbedtls/sha256.h>
#endif

namespace kq {

#if defined(KQ_SHA256_OPENSSL)

struct sha256::state {
  EVP_MD_CTX *ctx = nullptr;
};

namespace {
// Without a context or the algorithm nothing can be hashed, and a digest
// that is silently wrong would be worse than stopping.
void must(bool ok) {
  if (!ok) std::abort();
}
}  // namespace

sha256::sha256() : st_(new state) {
  st_->ctx = EVP_MD_CTX_new();
  must(st_->ctx != nullptr && EVP_DigestInit_ex(st_->ctx, EVP_sha256(), nullptr) == 1);
}

sha256::~sha256() {
  EVP_MD_CTX_free(st_->ctx);
  delete st_;
}

void sha256::update(const void *data, std::size_t n) {
  if (n > 0) must(EVP_DigestUpdate(st_->ctx, data, n) == 1);
}

void sha256::finish(unsigned char digest[32]) {
  unsigned int len = 0;
  must(EVP_DigestFinal_ex(st_->ctx, digest, &len) == 1 && len == 32);
  must(EVP_DigestInit_ex(st_->ctx, EVP_sha256(), nullptr) == 1);
}

void sha256::digest(const void *data, std::size_t n, unsigned char out[32]) {
  unsigned int len = 0;
  must(EVP_Digest(data, n, out, &len, EVP_sha256(), nullptr) == 1 && len == 32);
}

#else

struct sha256::state {
  mbedtls_sha256_context ctx;
};

sha256::sha256() : st_(new state) {
  mbedtls_sha256_init(&st_->ctx);
  mbedtls_sha256_starts(&st_->ctx, 0);  // 0: SHA-256, not SHA-224
}

sha256::~sha256() {
  mbedtls_sha256_free(&st_->ctx);
  delete st_;
}

void sha256::update(const void *data, std::size_t n) {
  mbedtls_sha256_update(&st_->ctx, static_cast<const unsigned char *>(data), n);
}

void sha256::finish(unsigned char digest[32]) {
  mbedtls_sha256_finish(&st_->ctx, digest);
  mbedtls_sha256_starts(&st_->ctx, 0);
}

void sha256::digest(const void *data, std::size_t n, unsigned char out[32]) {
  mbedtls_sha256(static_cast<const unsigned char *>(data), n, out, 0);
}

#endif

}  // namespace kq
