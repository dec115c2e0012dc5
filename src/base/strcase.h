// ASCII case rules: the one place that says how protocol words, header
// names and "contains" filters compare regardless of case.
#pragma once

#include <string_view>

namespace kq {

inline char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }
inline char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Equal regardless of ASCII case.
bool ascii_ieq(std::string_view a, std::string_view b);
// a starts with prefix regardless of ASCII case.
bool ascii_istarts(std::string_view a, std::string_view prefix);

// First position of word in text regardless of ASCII case, or null.
const char *kq_strcasestr(const char *text, const char *word);

}  // namespace kq
