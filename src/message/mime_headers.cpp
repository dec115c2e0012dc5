// Header/body split, unfolded header values, the boundary and the file name.
#include <cstring>
#include <string>

#include "message/mime.h"
#include "base/header_field.h"
#include "base/mime_params.h"
#include "base/strcase.h"
#include "base/text.h"
#include "base/utf8.h"

namespace kq {

namespace {

// Reads one parameter of a stored header value: quoted up to the next quote,
// otherwise up to a blank, tab or semicolon. Unfolding leaves a tab where a
// line break was, and a tab is no part of a token.
bool read_param(const char *text, const char *key, char *out, std::size_t cap) {
  out[0] = '\0';
  const char *p = kq_strcasestr(text, key);
  if (!p) return false;
  p += std::strlen(key);
  std::size_t n = 0;
  if (*p == '"') {
    for (++p; *p && *p != '"' && n + 1 < cap; ++p) out[n++] = *p;
  } else {
    for (; *p && *p != ' ' && *p != '\t' && *p != ';' && n + 1 < cap; ++p) out[n++] = *p;
  }
  out[n] = '\0';
  return true;
}

}  // namespace

const char *hdr_find(const char *block_start, const char *block_end, const char *name, char *out,
                     std::size_t cap) {
  if (cap) out[0] = '\0';
  std::string value;
  std::size_t start = 0;
  if (!header_field(std::string_view(block_start, static_cast<std::size_t>(block_end - block_start)), name,
                    value, &start))
    return nullptr;
  if (cap) {
    std::size_t n = value.size() < cap - 1 ? value.size() : cap - 1;
    value.copy(out, n);
    out[n] = '\0';
  }
  return block_start + start;
}

void part_parse_headers(mime_part *part, const char *data, std::uint64_t len) {
  std::memset(part, 0, sizeof *part);
  part->start = data;
  // The header block ends at the first blank line, whichever line-end form
  // it uses: CR LF CR LF or LF LF.
  std::uint64_t block_len = len, sep = 0;
  // A part that opens with its blank line has no header fields at all.
  if (len >= 2 && data[0] == '\r' && data[1] == '\n') {
    block_len = 0;
    sep = 2;
  } else if (len >= 1 && data[0] == '\n') {
    block_len = 0;
    sep = 1;
  }
  for (std::uint64_t i = 0; sep == 0 && i + 1 < len;) {
    auto *lf = static_cast<const char *>(std::memchr(data + i, '\n', len - i));
    if (!lf) break;
    i = static_cast<std::uint64_t>(lf - data);
    if (i + 1 < len && data[i + 1] == '\n') {
      block_len = i;
      sep = 2;
      break;
    }
    if (i >= 1 && i + 2 < len && data[i - 1] == '\r' && data[i + 1] == '\r' && data[i + 2] == '\n') {
      block_len = i - 1;
      sep = 4;
      break;
    }
    ++i;
  }
  part->header_len = block_len + sep;
  part->body = data + part->header_len;
  part->body_len = len - part->header_len;

  part->in_digest = false;
  const char *e = data + block_len;
  hdr_find(data, e, "Content-Type:", part->ctype, sizeof part->ctype);
  if (read_param(part->ctype, "boundary=", part->boundary, sizeof part->boundary))
    part->has_boundary = 1;
  hdr_find(data, e, "Content-Transfer-Encoding:", part->cte, sizeof part->cte);
  hdr_find(data, e, "Content-Disposition:", part->disposition, sizeof part->disposition);
  std::string name;
  if (mime_param(part->disposition, "filename", name))
    copy_cut(part->filename, sizeof part->filename,
             std::string_view(name).substr(0, utf8_prefix(name, sizeof part->filename - 1)));
}

}  // namespace kq
