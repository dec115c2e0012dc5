// The ASCII case-insensitive substring test behind every "contains".
#pragma once

namespace kq {
// First position of word in text regardless of ASCII case, or null.
const char *kq_strcasestr(const char *text, const char *word);
}  // namespace kq
