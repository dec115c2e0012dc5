#include "connection/throttle.h"

#include "base/strcase.h"

namespace kq {

namespace {

bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::size_t skip_spaces(std::string_view t, std::size_t i) {
  while (i < t.size() && t[i] == ' ') ++i;
  return i;
}

// The position of word in text regardless of case, or npos.
std::size_t ifind(std::string_view text, std::string_view word) {
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
    if (ascii_istarts(text.substr(i), word)) return i;
  return std::string_view::npos;
}

}  // namespace

throttle_hint read_throttle(std::string_view text) {
  throttle_hint h;
  h.throttled = ifind(text, "[THROTTLED]") != std::string_view::npos;
  h.unavailable = ifind(text, "[UNAVAILABLE]") != std::string_view::npos;
  h.limit = ifind(text, "[LIMIT]") != std::string_view::npos;
  constexpr std::string_view k_words = "Suggested Backoff Time:";
  std::size_t at = ifind(text, k_words);
  if (at != std::string_view::npos) {
    std::size_t d = skip_spaces(text, at + k_words.size());
    if (d < text.size() && is_digit(text[d])) {
      long long n = 0;
      while (d < text.size() && is_digit(text[d])) {
        if (n <= k_backoff_max_ms * 1000LL) n = n * 10 + (text[d] - '0');
        ++d;
      }
      std::size_t u = skip_spaces(text, d);
      std::size_t e = u;
      while (e < text.size() && is_alpha(text[e])) ++e;
      std::string_view unit = text.substr(u, e - u);
      if (ascii_ieq(unit, "s") || ascii_ieq(unit, "sec") || ascii_ieq(unit, "second") ||
          ascii_ieq(unit, "seconds"))
        n *= 1000;
      h.backoff_ms = static_cast<int>(n < k_backoff_max_ms ? n : k_backoff_max_ms);
    }
  }
  return h;
}

}  // namespace kq
