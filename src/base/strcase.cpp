#include "base/strcase.h"

#include <cstring>

namespace kq {

namespace {
inline unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
}  // namespace

bool ascii_ieq(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

bool ascii_istarts(std::string_view a, std::string_view prefix) {
  return a.size() >= prefix.size() && ascii_ieq(a.substr(0, prefix.size()), prefix);
}

const char *kq_strcasestr(const char *text, const char *word) {
  if (!text || !word) return nullptr;
  if (!*word) return text;
  std::size_t wn = std::strlen(word);
  unsigned char first = lower(static_cast<unsigned char>(*word));
  for (const char *p = text; *p; ++p) {
    if (lower(static_cast<unsigned char>(*p)) != first) continue;
    std::size_t i = 1;
    while (i < wn && p[i] &&
           lower(static_cast<unsigned char>(p[i])) == lower(static_cast<unsigned char>(word[i])))
      ++i;
    if (i == wn) return p;
    if (!p[i]) return nullptr;  // text ran out: no later match can fit
  }
  return nullptr;
}

}  // namespace kq
