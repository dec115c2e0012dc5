// Case-insensitive matching of UTF-8 text beyond ASCII.
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Simple lowercase form of one code point: Latin (with its extensions),
// Greek (final sigma counts as sigma), Cyrillic and the fullwidth Latin
// letters; every other code point is its own.
char32_t fold_char(char32_t cp);

// s with every well-formed character folded; bytes that are not UTF-8 are
// kept as they are, so such text still compares byte for byte.
std::string fold_case(std::string_view s);

// True when word occurs in text regardless of letter case (an empty word
// always does).
bool contains_nocase(std::string_view text, std::string_view word);

}  // namespace kq
