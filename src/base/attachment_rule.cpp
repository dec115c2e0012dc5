#include "base/attachment_rule.h"

#include <string>

#include "base/strcase.h"

namespace kq {

bool counts_as_attachment(std::string_view content_type, std::string_view disposition,
                          bool has_file_name) {
  if (has_file_name) return true;
  std::string disp(disposition), ctype(content_type);
  if (kq_strcasestr(disp.c_str(), "attachment")) return true;
  if (ctype.empty() || kq_strcasestr(ctype.c_str(), "text/") || kq_strcasestr(ctype.c_str(), "message/") ||
      kq_strcasestr(ctype.c_str(), "multipart/"))
    return false;
  return true;
}

}  // namespace kq
