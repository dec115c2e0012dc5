#include "base/mime_params.h"

#include <algorithm>
#include <vector>

#include "base/strcase.h"
#include "base/encoded_words.h"

namespace kq {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percent_decode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    int hi = s[i] == '%' && i + 2 < s.size() ? hex_digit(s[i + 1]) : -1;
    int lo = hi >= 0 ? hex_digit(s[i + 2]) : -1;
    if (lo >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

struct param {
  std::string_view attr;  // as written, with any "*N*" suffix
  std::string value;      // quotes and escapes removed
};

// Reads "attr=value" at v[i] (after a ';'); i ends after the value.
bool read_param(std::string_view v, std::size_t &i, param &p) {
  while (i < v.size() && is_blank(v[i])) ++i;
  std::size_t a = i;
  while (i < v.size() && v[i] != '=' && v[i] != ';' && !is_blank(v[i])) ++i;
  p.attr = v.substr(a, i - a);
  while (i < v.size() && is_blank(v[i])) ++i;
  if (i >= v.size() || v[i] != '=' || p.attr.empty()) return false;
  ++i;
  while (i < v.size() && is_blank(v[i])) ++i;
  p.value.clear();
  if (i < v.size() && v[i] == '"') {
    for (++i; i < v.size() && v[i] != '"'; ++i) {
      // Mailers write Windows paths into quoted names unescaped, so only a
      // backslash before a quote or a backslash is taken as an escape.
      if (v[i] == '\\' && i + 1 < v.size() && (v[i + 1] == '"' || v[i + 1] == '\\')) ++i;
      p.value += v[i];
    }
    if (i < v.size()) ++i;  // closing quote; an unterminated one runs to the end
  } else {
    std::size_t s = i;
    while (i < v.size() && v[i] != ';' && !is_blank(v[i])) ++i;
    p.value.assign(v.substr(s, i - s));
  }
  return true;
}

}  // namespace

bool mime_param(std::string_view v, std::string_view name, std::string &out) {
  bool have_plain = false;
  std::string plain;
  // Segment number -> (extended?, text); a lone name*= is segment 0.
  // (A sorted vector, not std::map: the map's code would be exported from
  // the shared library.)
  struct segment {
    unsigned n;
    bool ext;
    std::string text;
  };
  std::vector<segment> parts;
  // Quoted strings may hold ';', so the walk goes value by value.
  std::size_t i = 0;
  bool in_quote = false;
  while (i < v.size() && (in_quote || v[i] != ';')) {
    if (v[i] == '"') in_quote = !in_quote;
    ++i;
  }
  while (i < v.size()) {
    ++i;  // the ';'
    param p;
    std::size_t before = i;
    if (read_param(v, i, p)) {
      std::string_view a = p.attr;
      if (ascii_ieq(a, name)) {
        if (!have_plain) plain = p.value;
        have_plain = true;
      } else if (a.size() > name.size() && a[name.size()] == '*' &&
                 ascii_ieq(a.substr(0, name.size()), name)) {
        std::string_view rest = a.substr(name.size() + 1);
        bool ext = false;
        if (!rest.empty() && rest.back() == '*') {
          ext = true;
          rest.remove_suffix(1);
        }
        unsigned n = 0;
        bool numbered = !rest.empty() && rest.size() <= 4;
        for (char c : rest) {
          if (c < '0' || c > '9') numbered = false;
          else n = n * 10 + static_cast<unsigned>(c - '0');
        }
        if (rest.empty()) parts.push_back({0, true, p.value});
        else if (numbered) parts.push_back({n, ext, p.value});
      }
    }
    // Skip to the next ';' outside quotes (also past anything unreadable).
    if (i == before) ++i;
    while (i < v.size() && v[i] != ';') ++i;
  }
  // In segment order; of two with one number the first written counts.
  std::stable_sort(parts.begin(), parts.end(),
                   [](const segment &a, const segment &b) { return a.n < b.n; });
  parts.erase(std::unique(parts.begin(), parts.end(),
                          [](const segment &a, const segment &b) { return a.n == b.n; }),
              parts.end());
  if (!parts.empty() && parts.front().n == 0) {
    std::string bytes, charset;
    bool any_ext = false;
    unsigned expect = 0;
    for (const segment &seg : parts) {
      if (seg.n != expect++) break;  // a gap ends the value
      std::string_view text = seg.text;
      if (seg.ext) {
        if (seg.n == 0) {
          // charset'language'text
          std::size_t q1 = text.find('\'');
          std::size_t q2 = q1 == std::string_view::npos ? q1 : text.find('\'', q1 + 1);
          if (q2 != std::string_view::npos) {
            charset.assign(text.substr(0, q1));
            text = text.substr(q2 + 1);
          }
        }
        any_ext = true;
        bytes += percent_decode(text);
      } else {
        bytes += text;
      }
    }
    if (!any_ext) {
      out = decode_encoded_words(bytes);
      return true;
    }
    std::string text;
    if (!charset.empty() && charset_text_to_utf8(charset, bytes, text)) out = std::move(text);
    else out = std::move(bytes);
    return true;
  }
  if (!have_plain) return false;
  out = decode_encoded_words(plain);
  return true;
}

}  // namespace kq
