// Turning decoded HTML into readable text: tags out, basic references decoded.
#pragma once

#include <cstddef>

namespace kq {

// Copies src[0, n) to dst with each tag replaced by one blank; at most
// cap - 1 bytes are written, then a NUL. Returns the bytes written.
std::size_t strip_tags(const char *src, std::size_t n, char *dst, std::size_t cap);

// Decodes &amp; &lt; &gt; &quot; &apos; &nbsp; and numeric references to
// bytes 32..127 in place, up to the text's NUL. The text never grows.
void entity_decode(char *text);

}  // namespace kq
