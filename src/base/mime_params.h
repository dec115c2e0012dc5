// Parameters of MIME header values (Content-Type, Content-Disposition), as
// UTF-8: RFC 2231 extended values and continuations, and RFC 2047 words that
// mailers put inside quoted values.
#pragma once

#include <string>
#include <string_view>

namespace kq {

// Finds parameter name (any letter case) in a header value such as
// `attachment; filename*0*=utf-8''%C3%A9t; filename*1=".pdf"` and writes
// its text to out. An extended form (name*= or name*0...) wins over a plain
// name=; its charset is converted (an unknown charset leaves the bytes as
// they decoded). A plain or unextended value has its encoded words decoded.
// False when the parameter is absent.
bool mime_param(std::string_view value, std::string_view name, std::string &out);

}  // namespace kq
