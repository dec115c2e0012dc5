#include "base/utf8.h"

namespace kq {

std::size_t utf8_seq(std::string_view s, std::size_t i, char32_t *cp) {
  if (i >= s.size()) return 0;
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  if (c < 0x80) {
    if (cp) *cp = c;
    return 1;
  }
  std::size_t n;
  char32_t min;
  if ((c & 0xE0) == 0xC0) n = 2, min = 0x80;
  else if ((c & 0xF0) == 0xE0) n = 3, min = 0x800;
  else if ((c & 0xF8) == 0xF0) n = 4, min = 0x10000;
  else return 0;
  if (i + n > s.size()) return 0;
  char32_t v = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  if (cp) *cp = v;
  return n;
}

void utf8_put(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::size_t utf8_prefix(std::string_view s, std::size_t max) {
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t n = utf8_seq(s, i);
    if (n == 0) n = 1;
    if (i + n > max) break;
    i += n;
  }
  return i;
}

bool utf8_valid(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_seq(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace kq
