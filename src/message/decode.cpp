// Transfer decoding: Base64, quoted-printable and the identity copy.
#include <array>
#include <cstring>

#include "message/mime.h"
#include "base/strcase.h"

namespace kq {

namespace {

constexpr std::array<signed char, 256> make_b64_table() {
  std::array<signed char, 256> t{};
  for (auto &v : t) v = -1;
  const char *alpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(alpha[i])] = static_cast<signed char>(i);
  return t;
}
constexpr std::array<signed char, 256> k_b64 = make_b64_table();

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

long long qp_decode(const char *src, std::uint64_t n, char *dst, std::uint64_t dst_size) {
  std::uint64_t i = 0, j = 0;
  auto put = [&](char c) {
    if (i >= dst_size) return false;
    dst[i++] = c;
    return true;
  };
  while (j < n) {
    char c = src[j];
    if (c == '=') {
      int hi = j + 2 < n ? hex_value(src[j + 1]) : -1;
      int lo = j + 2 < n ? hex_value(src[j + 2]) : -1;
      if (hi >= 0 && lo >= 0) {
        if (!put(static_cast<char>(hi * 16 + lo))) return -1;
        j += 3;
        continue;
      }
      // Soft line break: the "=" and its line end vanish.
      if (j + 2 < n && src[j + 1] == '\r' && src[j + 2] == '\n') {
        j += 3;
        continue;
      }
      if (j + 1 < n && src[j + 1] == '\n') {
        j += 2;
        continue;
      }
      if (!put('=')) return -1;
      ++j;
      continue;
    }
    if (c == '\r' && j + 1 < n && src[j + 1] == '\n') {
      if (!put('\n')) return -1;
      j += 2;
      continue;
    }
    if (!put(c)) return -1;
    ++j;
  }
  return static_cast<long long>(i);
}

}  // namespace

long long b64_decode(const char *src, std::uint64_t src_len, char *dst, std::uint64_t dst_size) {
  std::uint64_t out = 0;
  unsigned bits = 0;
  int nbits = 0;
  for (std::uint64_t j = 0; j < src_len; ++j) {
    unsigned char c = static_cast<unsigned char>(src[j]);
    if (c == '=' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r')
      continue;
    int v = k_b64[c];
    if (v < 0) return -1;
    bits = (bits << 6) | static_cast<unsigned>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      if (out >= dst_size) return -1;
      dst[out++] = static_cast<char>((bits >> nbits) & 0xff);
      bits &= (1u << nbits) - 1;
    }
  }
  return static_cast<long long>(out);
}

long long decode_part(const char *src, std::uint64_t src_len, const char *cte, char *dst,
                      std::uint64_t dst_size) {
  if (dst_size) std::memset(dst, 0, dst_size);
  if (kq_strcasestr(cte, "base64")) return b64_decode(src, src_len, dst, dst_size);
  if (kq_strcasestr(cte, "quoted-printable")) return qp_decode(src, src_len, dst, dst_size);
  std::uint64_t n = src_len < dst_size ? src_len : dst_size;
  if (n) std::memcpy(dst, src, n);
  return static_cast<long long>(n);
}

}  // namespace kq
