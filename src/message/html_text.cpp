#include "message/html_text.h"

#include <cstdlib>
#include <cstring>

namespace kq {

std::size_t strip_tags(const char *src, std::size_t n, char *dst, std::size_t cap) {
  if (cap == 0) return 0;
  std::size_t out = 0;
  bool in_tag = false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = src[i];
    if (in_tag) {
      if (c == '>') in_tag = false;
      continue;
    }
    if (c == '<') {
      in_tag = true;
      c = ' ';
    }
    if (out + 1 < cap) dst[out++] = c;
  }
  dst[out] = '\0';
  return out;
}

namespace {

struct named_ref {
  const char *text;
  char ch;
};
constexpr named_ref k_named[] = {
    {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&nbsp;", ' '},
};

// The byte a reference [amp, semi] stands for, or -1 when it is not one.
int reference_value(const char *amp, const char *semi) {
  if (amp[1] == '#') {
    char *end = nullptr;
    long v = std::strtol(amp + 2, &end, 0);
    if (end != semi || v < 32 || v > 127) return -1;
    return static_cast<int>(v);
  }
  std::size_t n = static_cast<std::size_t>(semi - amp) + 1;
  for (const named_ref &r : k_named)
    if (std::strlen(r.text) == n && std::memcmp(r.text, amp, n) == 0) return r.ch;
  return -1;
}

}  // namespace

void entity_decode(char *text) {
  char *w = text;
  const char *r = text;
  while (*r) {
    if (*r == '&') {
      const char *semi = nullptr;
      for (int k = 1; k <= 9 && r[k]; ++k) {
        if (r[k] == ';') {
          semi = r + k;
          break;
        }
      }
      int v = semi ? reference_value(r, semi) : -1;
      if (v >= 0) {
        *w++ = static_cast<char>(v);
        r = semi + 1;
        continue;
      }
    }
    *w++ = *r++;
  }
  *w = '\0';
}

}  // namespace kq
