// Header field values for the search rows (From, To, Subject), unfolded.
#include <cstring>
#include <string>
#include <string_view>

#include "base/encoded_words.h"
#include "base/header_field.h"
#include "base/text.h"
#include "base/utf8.h"
#include "search/search.h"

namespace kq {

int hdr_line_value(const char *block, long long block_len, const char *name, char *out,
                   std::size_t out_size) {
  if (!block || block_len <= 0 || !name || !out || out_size == 0) return 0;
  std::string v;
  if (!header_field(std::string_view(block, static_cast<std::size_t>(block_len)), std::string(name) + ":", v))
    return 0;
  std::size_t last = v.size();
  while (last > 0 && (v[last - 1] == ' ' || v[last - 1] == '\r')) --last;
  copy_cut(out, out_size, std::string_view(v).substr(0, last));
  return 1;
}

namespace {

// One field of a row: read with room to spare (encoded words are longer
// than their text), decoded, then cut on a character boundary.
void row_text(const char *block, long long len, const char *name, std::string &out, std::size_t cap) {
  static constexpr std::size_t k_raw_cap = 8192;
  std::string raw(k_raw_cap, '\0');
  out.clear();
  if (!hdr_line_value(block, len, name, raw.data(), raw.size())) return;
  raw.resize(std::strlen(raw.c_str()));
  std::string text = decode_encoded_words(raw);
  out.assign(text, 0, utf8_prefix(text, cap - 1));
}

}  // namespace

void row_header_texts(row_draft &h, const char *block, long long len) {
  // Cut where the rows of fixed size always cut them.
  row_text(block, len, "From", h.from, 512);
  row_text(block, len, "To", h.to, 512);
  row_text(block, len, "Subject", h.subject, 1024);
}

}  // namespace kq
