// Header field values for the search rows (From, To, Subject), unfolded.
#include <cstring>
#include <string>
#include <string_view>

#include "base/encoded_words.h"
#include "base/text.h"
#include "base/utf8.h"
#include "search/search.h"

namespace kq {

namespace {

// One physical line: its text without the line end (CR LF or a bare LF).
struct line_span {
  const char *p;
  std::size_t n;
};

// Next line starting at pos; false at the end of the block.
bool next_line(std::string_view b, std::size_t &pos, line_span &l) {
  if (pos >= b.size()) return false;
  std::size_t lf = b.find('\n', pos);
  std::size_t end = lf == std::string_view::npos ? b.size() : lf;
  std::size_t n = end - pos;
  if (lf != std::string_view::npos && n > 0 && b[end - 1] == '\r') --n;
  l = {b.data() + pos, n};
  pos = lf == std::string_view::npos ? b.size() : lf + 1;
  return true;
}

bool name_matches(const line_span &l, const char *name, std::size_t nlen) {
  if (l.n < nlen + 1 || l.p[nlen] != ':') return false;
  for (std::size_t i = 0; i < nlen; ++i) {
    unsigned char a = static_cast<unsigned char>(l.p[i]);
    unsigned char b = static_cast<unsigned char>(name[i]);
    if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

}  // namespace

int hdr_line_value(const char *block, long long block_len, const char *name, char *out,
                   std::size_t out_size) {
  if (!block || block_len <= 0 || !name || !out || out_size == 0) return 0;
  std::string_view b(block, static_cast<std::size_t>(block_len));
  std::size_t nlen = std::strlen(name);
  std::size_t pos = 0;
  line_span l;
  while (next_line(b, pos, l)) {
    if (!name_matches(l, name, nlen)) continue;
    std::string v(l.p + nlen + 1, l.n - nlen - 1);
    // Folded continuation lines belong to the field; only the line end goes.
    std::size_t look = pos;
    line_span c;
    while (next_line(b, look, c) && c.n > 0 && (c.p[0] == ' ' || c.p[0] == '\t')) {
      v.append(c.p, c.n);
    }
    std::size_t first = v.find_first_not_of(" \t");
    if (first == std::string::npos) first = v.size();
    std::size_t last = v.size();
    while (last > first && (v[last - 1] == ' ' || v[last - 1] == '\r')) --last;
    copy_cut(out, out_size, std::string_view(v).substr(first, last - first));
    return 1;
  }
  return 0;
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

void row_header_texts(search_hit &h, const char *block, long long len) {
  // Cut where the rows of fixed size always cut them.
  row_text(block, len, "From", h.from, 512);
  row_text(block, len, "To", h.to, 512);
  row_text(block, len, "Subject", h.subject, 1024);
}

}  // namespace kq
