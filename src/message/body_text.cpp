// Which part becomes the body text, and how it is made readable.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "message/fetched.h"
#include "message/html_text.h"
#include "message/mime.h"
#include "base/encoded_words.h"
#include "base/mime_params.h"
#include "base/strcase.h"
#include "base/utf8.h"

namespace kq {

namespace {

bool is_textual(const mime_part &p) {
  const char *type = part_type(p);
  return kq_strcasestr(type, "text/") || kq_strcasestr(type, "message/rfc822");
}

void store_text(const char *text, std::size_t n, char *out, std::size_t cap) {
  auto *nul = static_cast<const char *>(std::memchr(text, '\0', n));
  if (nul) n = static_cast<std::size_t>(nul - text);
  // The text is UTF-8 (or bytes of an unknown charset): never cut a character.
  n = utf8_prefix(std::string_view(text, n), cap - 1);
  std::memcpy(out, text, n);
  out[n] = '\0';
}

void part_text(const mime_part &p, text_work &work, char *out, std::size_t cap) {
  char *dec = work.decoded.get();
  long long r = decode_part(p.body, p.body_len, p.cte, dec, k_text_work_cap);
  // A failed decode keeps what decoded before the failure; the zero fill
  // puts a NUL right after it.
  std::size_t n = static_cast<std::size_t>(r);
  if (r < 0) {
    auto *nul = static_cast<const char *>(std::memchr(dec, '\0', k_text_work_cap));
    n = nul ? static_cast<std::size_t>(nul - dec) : k_text_work_cap;
  }
  // Every text out is UTF-8; a part in a charset the system cannot
  // convert (or that does not hold to its charset) is shown as it is.
  std::string charset, converted;
  if (mime_param(p.ctype, "charset", charset) && !charset.empty() &&
      charset_text_to_utf8(charset, std::string_view(dec, n), converted)) {
    dec = converted.data();
    n = converted.size();
  }
  if (kq_strcasestr(part_type(p), "html")) {
    strip_tags(dec, n, work.stripped.get(), k_text_work_cap);
    entity_decode(work.stripped.get());
    store_text(work.stripped.get(), std::strlen(work.stripped.get()), out, cap);
  } else {
    store_text(dec, n, out, cap);
  }
}

}  // namespace

bool text_work::alloc() {
  decoded.reset(new (std::nothrow) char[k_text_work_cap]);
  stripped.reset(new (std::nothrow) char[k_text_work_cap]);
  return decoded && stripped;
}

void choose_body_text(const char *data, std::uint64_t len, text_work &work, char *out,
                      std::size_t cap) {
  out[0] = '\0';
  mime_part top;
  part_parse_headers(&top, data, len);
  if (part_is_container(top)) {
    // Nested containers are entered, so mixed -> alternative -> text/plain
    // still yields the text; the first textual leaf wins even when empty.
    leaf_walk(data, len, [&](const mime_part &p) {
      if (!is_textual(p)) return true;
      part_text(p, work, out, cap);
      return false;
    });
    return;
  }
  // A message without a Content-Type is plain text.
  if (is_textual(top))
    part_text(top, work, out, cap);
  else
    std::snprintf(out, cap, "[binary content: %s]", top.ctype);
}

}  // namespace kq
