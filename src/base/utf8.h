// UTF-8 sequences: reading one code point, writing one, and cutting a text
// without splitting a character.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms and surrogates included); the code
// point goes to *cp when given.
std::size_t utf8_seq(std::string_view s, std::size_t i, char32_t *cp = nullptr);

// Appends the UTF-8 form of cp (a Unicode scalar value).
void utf8_put(std::string &out, char32_t cp);

// Longest prefix of s of at most max bytes that ends on a character
// boundary; invalid bytes count as characters of their own.
std::size_t utf8_prefix(std::string_view s, std::size_t max);

// True when every byte of s belongs to a well-formed sequence.
bool utf8_valid(std::string_view s);

}  // namespace kq
