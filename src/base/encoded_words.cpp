#include "base/encoded_words.h"

#include <vector>

#include "base/strcase.h"
#include "base/utf8.h"
#include "platform/platform.h"

namespace kq {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int b64_digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Missing padding is forgiven (many mailers drop it); anything outside the
// alphabet, or padding followed by data, makes the word bad.
bool b_decode(std::string_view t, std::string &out) {
  unsigned bits = 0;
  int nbits = 0;
  std::size_t i = 0;
  for (; i < t.size() && t[i] != '='; ++i) {
    int v = b64_digit(t[i]);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(v);
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      out += static_cast<char>((bits >> nbits) & 0xFF);
    }
  }
  for (; i < t.size(); ++i)
    if (t[i] != '=') return false;
  return true;
}

bool q_decode(std::string_view t, std::string &out) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=') {
      int hi = i + 2 < t.size() ? hex_digit(t[i + 1]) : -1;
      int lo = i + 2 < t.size() ? hex_digit(t[i + 2]) : -1;
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += c;
    }
  }
  return true;
}

struct word {
  std::size_t begin, end;  // the whole "=?...?=" in the value
  std::string_view charset;
  std::string bytes;       // the transfer-decoded text, still in charset
};

// Reads an encoded word starting at value[i] ("=?"); false when there is
// none there.
bool read_word(std::string_view v, std::size_t i, word &w) {
  std::size_t q1 = v.find('?', i + 2);
  if (q1 == std::string_view::npos || q1 == i + 2) return false;
  std::string_view cs = v.substr(i + 2, q1 - i - 2);
  if (q1 + 3 > v.size() || v[q1 + 2] != '?') return false;
  char enc = v[q1 + 1];
  std::size_t text = q1 + 3;
  std::size_t close = v.find("?=", text);
  if (close == std::string_view::npos) return false;
  std::string_view t = v.substr(text, close - text);
  for (char c : cs)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '=') return false;
  for (char c : t)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return false;
  // RFC 2231 lets a language follow the charset: "utf-8*de".
  std::size_t star = cs.find('*');
  if (star != std::string_view::npos) cs = cs.substr(0, star);
  if (cs.empty()) return false;
  w.begin = i;
  w.end = close + 2;
  w.charset = cs;
  w.bytes.clear();
  if (enc == 'B' || enc == 'b') return b_decode(t, w.bytes);
  if (enc == 'Q' || enc == 'q') return q_decode(t, w.bytes);
  return false;
}

}  // namespace

bool charset_text_to_utf8(std::string_view charset, std::string_view bytes, std::string &out) {
  if (ascii_ieq(charset, "utf-8") || ascii_ieq(charset, "utf8")) {
    if (!utf8_valid(bytes)) return false;
    out.assign(bytes);
    return true;
  }
  if (ascii_ieq(charset, "us-ascii") || ascii_ieq(charset, "ascii")) {
    for (char c : bytes)
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    out.assign(bytes);
    return true;
  }
  std::string name(charset);
  return plat::charset_to_utf8(name.c_str(), bytes, out);
}

std::string decode_encoded_words(std::string_view v) {
  if (v.find("=?") == std::string_view::npos) return std::string(v);
  std::string out;
  std::size_t pos = 0;  // first byte not yet written
  while (pos < v.size()) {
    std::size_t at = v.find("=?", pos);
    word w;
    while (at != std::string_view::npos && !read_word(v, at, w)) at = v.find("=?", at + 1);
    if (at == std::string_view::npos) break;
    // A run of words separated by white space only, in one charset, is
    // converted as one text: a character (or an ISO-2022 shift state) may
    // straddle two words.
    std::vector<word> run{w};
    std::size_t next = w.end;
    for (;;) {
      std::size_t nx = next;
      while (nx < v.size() && (v[nx] == ' ' || v[nx] == '\t' || v[nx] == '\r' || v[nx] == '\n'))
        ++nx;
      word more;
      if (nx + 1 >= v.size() || v[nx] != '=' || v[nx + 1] != '?' || !read_word(v, nx, more) ||
          !ascii_ieq(more.charset, run.front().charset))
        break;
      next = more.end;
      run.push_back(std::move(more));
    }
    out.append(v.substr(pos, at - pos));
    std::string joined, text;
    for (const word &x : run) joined += x.bytes;
    bool last_decoded = true;
    if (charset_text_to_utf8(run.front().charset, joined, text)) {
      out += text;
    } else {
      // Word by word: the good ones decode, the others stay as written.
      bool prev_decoded = false;
      for (std::size_t k = 0; k < run.size(); ++k) {
        std::string one;
        bool ok = charset_text_to_utf8(run[k].charset, run[k].bytes, one);
        if (k > 0 && !(ok && prev_decoded))
          out.append(v.substr(run[k - 1].end, run[k].begin - run[k - 1].end));
        if (ok) out += one;
        else out.append(v.substr(run[k].begin, run[k].end - run[k].begin));
        prev_decoded = ok;
      }
      last_decoded = prev_decoded;
    }
    pos = run.back().end;
    // White space between this run and a following word of another
    // charset is still white space between two encoded words.
    std::size_t nx = pos;
    while (nx < v.size() && (v[nx] == ' ' || v[nx] == '\t' || v[nx] == '\r' || v[nx] == '\n')) ++nx;
    word peek;
    if (last_decoded && nx > pos && nx + 1 < v.size() && v[nx] == '=' && v[nx + 1] == '?' &&
        read_word(v, nx, peek)) {
      std::string probe;
      if (charset_text_to_utf8(peek.charset, peek.bytes, probe)) pos = nx;
    }
  }
  out.append(v.substr(pos));
  return out;
}

}  // namespace kq
