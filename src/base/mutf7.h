// Mailbox names in IMAP's modified UTF-7 (RFC 3501, section 5.1.3).
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Decodes a name as the server sends it to UTF-8. False, out unspecified,
// when the name is not modified UTF-7 (a byte above 0x7E, a bad or
// unterminated "&...-" run, a lone surrogate).
bool mutf7_decode(std::string_view name, std::string &out);

// Encodes a UTF-8 name; bytes that are not UTF-8 become U+FFFD.
std::string mutf7_encode(std::string_view utf8);

// The name to show a person: decoded when it is modified UTF-7, otherwise
// exactly as given.
std::string folder_display_name(std::string_view name);

// The name to put on the wire for a folder the host named in either form:
// a valid modified UTF-7 name unchanged (so a server's name always goes
// back exactly as it came), anything else encoded from UTF-8.
std::string folder_wire_name(std::string_view name);

}  // namespace kq
