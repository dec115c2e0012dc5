// What counts as an attachment, in one place: the message walk (kq_fetch's
// attachment table) and the search flag (from BODYSTRUCTURE) both ask here.
#pragma once

#include <string_view>

namespace kq {

// A leaf part is an attachment when it carries a file name, when its
// disposition says "attachment", or when it is neither text, a message nor
// a container. content_type: the Content-Type value ("" when absent);
// disposition: the Content-Disposition value or its type word.
bool counts_as_attachment(std::string_view content_type, std::string_view disposition,
                          bool has_file_name);

}  // namespace kq
