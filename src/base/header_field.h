// The one reader of a header field in a header block (RFC 5322 2.2.3): the
// first line whose name matches, joined with its folded continuation lines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kq {

// Finds the first field whose line starts with name_colon ("Subject:"),
// compared without regard to ASCII letter case. value gets the field's body
// unfolded: the line ends before continuation lines dropped, leading blanks
// and tabs skipped, nothing trimmed at the end. start is the offset in block
// where the value begins. False when no line matches.
bool header_field(std::string_view block, std::string_view name_colon, std::string &value,
                  std::size_t *start = nullptr);

}  // namespace kq
