// Header/body split, unfolded header values, the boundary and the file name.
#include <cstring>
#include <string>

#include "message/mime.h"
#include "base/mime_params.h"
#include "base/strcase.h"
#include "base/text.h"
#include "base/utf8.h"

namespace kq {

namespace {

inline unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool starts_with_nocase(const char *p, const char *e, const char *name, std::size_t n) {
  if (static_cast<std::size_t>(e - p) < n) return false;
  for (std::size_t i = 0; i < n; ++i)
    if (lower(static_cast<unsigned char>(p[i])) != lower(static_cast<unsigned char>(name[i])))
      return false;
  return true;
}

// End of the line's content (before CR LF or bare LF, or the block end) and
// the start of the next line.
struct line_span {
  const char *end;
  const char *next;
};
line_span line_at(const char *p, const char *e) {
  auto *lf = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(e - p)));
  const char *end = lf ? lf : e;
  if (end > p && end[-1] == '\r') --end;
  return {end, lf ? lf + 1 : e};
}

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
  std::size_t nlen = std::strlen(name);
  const char *line = block_start;
  while (line < block_end) {
    line_span ls = line_at(line, block_end);
    if (!starts_with_nocase(line, ls.end, name, nlen)) {
      line = ls.next;
      continue;
    }
    const char *value = line + nlen;
    while (value < ls.end && (*value == ' ' || *value == '\t')) ++value;
    // The field goes on over every following line that begins with a blank
    // or tab; the line ends between them are dropped.
    std::size_t n = 0;
    bool started = false;
    auto append = [&](const char *p, const char *e) {
      for (; p < e; ++p) {
        if (!started && (*p == ' ' || *p == '\t')) continue;
        started = true;
        if (n + 1 < cap) out[n++] = *p;
      }
    };
    append(value, ls.end);
    const char *next = ls.next;
    while (next < block_end && (*next == ' ' || *next == '\t')) {
      line_span cont = line_at(next, block_end);
      append(next, cont.end);
      next = cont.next;
    }
    if (cap) out[n] = '\0';
    return value;
  }
  return nullptr;
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
