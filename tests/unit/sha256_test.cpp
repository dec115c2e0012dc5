// The SHA-256 wrapper against published digests, whichever library is
// behind it: whole buffers, input split at odd places, and a hasher used
// again after a digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "archive/sha256_file.h"
#include "base/sha256.h"

namespace {

std::string hex_of(const unsigned char d[32]) {
  char hex[65];
  kq::digest_hex(d, hex);
  return hex;
}

struct vector_row {
  std::string input;
  const char *digest;
};

const vector_row k_vectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
};

}  // namespace

TEST(Sha256, MatchesPublishedDigests) {
  for (const vector_row &v : k_vectors) {
    SCOPED_TRACE(v.input.substr(0, 20));
    unsigned char d[32];
    kq::sha256::digest(v.input.data(), v.input.size(), d);
    EXPECT_EQ(hex_of(d), v.digest);
    // The same bytes in pieces of growing, odd sizes, through one hasher
    // that has already given a digest.
    kq::sha256 h;
    h.update("left over", 9);
    h.finish(d);
    std::size_t at = 0;
    for (std::size_t piece = 1; at < v.input.size(); piece = piece * 3 + 1) {
      std::size_t n = std::min(piece, v.input.size() - at);
      h.update(v.input.data() + at, n);
      at += n;
    }
    h.finish(d);
    EXPECT_EQ(hex_of(d), v.digest);
  }
}
