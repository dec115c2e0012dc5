#include "connection/throttle.h"

#include "base/strcase.h"

namespace kq {

namespace {

bool contains_ci(std::string_view text, std::string_view word) {
  if (word.size() > text.size()) return false;
  for (std::size_t i = 0; i + word.size() <= text.size(); ++i)
    if (ascii_ieq(text.substr(i, word.size()), word)) return true;
  return false;
}

}  // namespace

throttle_hint read_throttle(std::string_view text) {
  throttle_hint h;
  h.throttled = contains_ci(text, "[THROTTLED");
  h.unavailable = contains_ci(text, "[UNAVAILABLE");
  h.limit = contains_ci(text, "[LIMIT");
  constexpr std::string_view key = "Suggested Backoff Time:";
  for (std::size_t i = 0; i + key.size() <= text.size(); ++i) {
    if (!ascii_ieq(text.substr(i, key.size()), key)) continue;
    std::size_t j = i + key.size();
    while (j < text.size() && text[j] == ' ') ++j;
    long long v = 0;
    std::size_t start = j;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9' && v < 1000000) v = v * 10 + (text[j++] - '0');
    if (j > start) h.backoff_ms = static_cast<int>(v > 30000 ? 30000 : v);
    break;
  }
  return h;
}

}  // namespace kq
