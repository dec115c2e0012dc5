// Header text with RFC 2047 encoded words, as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Decodes every "=?charset?B|Q?text?=" word of a header value to UTF-8 (the
// charset converted by the platform's converter; a "*language" suffix of the
// charset ignored). White space between two adjacent words is dropped, as is
// required for words a mailer split in the middle of a text; a word that is
// malformed or whose charset is unknown stays as written, with the space
// around it. Text outside words is kept byte for byte.
std::string decode_encoded_words(std::string_view value);

// Bytes of text in the named MIME charset as UTF-8: UTF-8 and US-ASCII are
// checked, any other charset goes through the platform's converter. False,
// out untouched, when the bytes are not valid in the charset or the charset
// is unknown.
bool charset_text_to_utf8(std::string_view charset, std::string_view bytes, std::string &out);

}  // namespace kq
