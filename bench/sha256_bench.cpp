// SHA-256 throughput of the libraries the archive could hash with, on this
// machine: Mbed TLS (what Windows builds use), OpenSSL's libcrypto and
// nettle. Prints MB/s for a 1 MB buffer (a large message or a file read in
// chunks) and a 50 KB one (a typical message hashed whole).
//   kq_sha256_bench [SECONDS_PER_CASE]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include <mbedtls/sha256.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>

namespace {

using hash_fn = std::function<void(const unsigned char *, std::size_t, unsigned char *)>;

void with_mbedtls(const unsigned char *p, std::size_t n, unsigned char *out) { mbedtls_sha256(p, n, out, 0); }

void with_openssl(const unsigned char *p, std::size_t n, unsigned char *out) {
  unsigned int len = 0;
  EVP_Digest(p, n, out, &len, EVP_sha256(), nullptr);
}

void with_nettle(const unsigned char *p, std::size_t n, unsigned char *out) {
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, n, p);
  sha256_digest(&c, SHA256_DIGEST_SIZE, out);
}

double rate_mb_s(const hash_fn &f, const std::vector<unsigned char> &buf, double seconds) {
  unsigned char out[32];
  std::size_t bytes = 0;
  auto start = std::chrono::steady_clock::now();
  double spent = 0;
  do {
    for (int i = 0; i < 16; ++i) {
      f(buf.data(), buf.size(), out);
      bytes += buf.size();
    }
    spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  } while (spent < seconds);
  return static_cast<double>(bytes) / spent / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  struct lib {
    const char *name;
    hash_fn fn;
  } libs[] = {{"mbedtls", with_mbedtls}, {"openssl", with_openssl}, {"nettle", with_nettle}};
  // All three must agree before their speed means anything.
  std::vector<unsigned char> check(1000, 'a');
  unsigned char want[32], got[32];
  with_mbedtls(check.data(), check.size(), want);
  for (const lib &l : libs) {
    l.fn(check.data(), check.size(), got);
    if (std::memcmp(want, got, 32) != 0) {
      std::fprintf(stderr, "%s computes a different digest\n", l.name);
      return 1;
    }
  }
  for (std::size_t size : {std::size_t{1} << 20, std::size_t{50} * 1024}) {
    std::vector<unsigned char> buf(size);
    for (std::size_t i = 0; i < size; ++i) buf[i] = static_cast<unsigned char>(i * 131 + 7);
    for (const lib &l : libs)
      std::printf("%-8s %7zu bytes  %8.1f MB/s\n", l.name, size, rate_mb_s(l.fn, buf, seconds));
  }
  return 0;
}
