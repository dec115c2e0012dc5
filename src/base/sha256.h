// SHA-256 for the archive's digests. Every caller hashes through here so
// the library behind it is chosen in one place: OpenSSL's libcrypto where
// the build has it (it uses the CPU's SHA instructions, several times the
// speed of Mbed TLS's portable code), Mbed TLS otherwise (the Windows
// build, which carries no OpenSSL).
#pragma once

#include <cstddef>
#include <string>

namespace kq {

class sha256 {
 public:
  sha256();
  ~sha256();
  sha256(const sha256 &) = delete;
  sha256 &operator=(const sha256 &) = delete;

  void update(const void *data, std::size_t n);
  // The digest of everything given so far; the hasher then starts over.
  void finish(unsigned char digest[32]);

  // The digest of one buffer.
  static void digest(const void *data, std::size_t n, unsigned char out[32]);

 private:
  struct state;
  state *st_;
};

}  // namespace kq
