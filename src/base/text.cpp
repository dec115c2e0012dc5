#include "base/text.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <yyjson.h>

namespace kq {

std::string decimal(unsigned long long v) {
  char b[24];
  std::snprintf(b, sizeof b, "%llu", v);
  return b;
}


void copy_cut(char *dst, std::size_t cap, std::string_view src) {
  if (cap == 0) return;
  std::size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
  std::memcpy(dst, src.data(), n);
  dst[n] = '\0';
}

namespace {
void escape_byte(std::string &out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    default: break;
  }
  if (c < 0x20) {
    char u[8];
    std::snprintf(u, sizeof u, "\\u%04x", c);
    out += u;
  } else {
    out += static_cast<char>(c);
  }
}

// Length of the valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_len(std::string_view s, std::size_t i) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  std::size_t n;
  unsigned min;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) n = 2, min = 0x80;
  else if ((c & 0xF0) == 0xE0) n = 3, min = 0x800;
  else if ((c & 0xF8) == 0xF0) n = 4, min = 0x10000;
  else return 0;
  if (i + n > s.size()) return 0;
  unsigned cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}
}  // namespace

void json_append_str(std::string &out, std::string_view s) {
  out += '"';
  for (char c : s) escape_byte(out, static_cast<unsigned char>(c));
  out += '"';
}

void json_append_str_utf8(std::string &out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_len(s, i);
    if (n == 0) {
      char u[8];
      std::snprintf(u, sizeof u, "\\u%04x", static_cast<unsigned char>(s[i]));
      out += u;
      ++i;
    } else if (n == 1) {
      escape_byte(out, static_cast<unsigned char>(s[i]));
      ++i;
    } else {
      out.append(s.data() + i, n);
      i += n;
    }
  }
  out += '"';
}

json_doc::~json_doc() {
  if (doc_) yyjson_doc_free(doc_);
}

bool json_doc::parse(const char *text, std::size_t len) {
  if (doc_) yyjson_doc_free(doc_);
  // yyjson only reads the buffer when no in-situ flag is given.
  doc_ = yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, nullptr);
  return doc_ != nullptr;
}

yyjson_val *json_doc::root() const { return doc_ ? yyjson_doc_get_root(doc_) : nullptr; }

yyjson_val *json_key(yyjson_val *obj, const char *key) {
  if (!obj || !yyjson_is_obj(obj)) return nullptr;
  // Walk in document order so a repeated key yields its first value.
  yyjson_obj_iter it;
  yyjson_obj_iter_init(obj, &it);
  yyjson_val *k;
  while ((k = yyjson_obj_iter_next(&it))) {
    if (yyjson_equals_str(k, key)) return yyjson_obj_iter_get_val(k);
  }
  return nullptr;
}

long long json_num(yyjson_val *obj, const char *key, long long def) {
  yyjson_val *v = json_key(obj, key);
  if (!v) return def;
  if (!yyjson_is_num(v)) return 0;
  if (yyjson_is_int(v)) {
    if (yyjson_is_uint(v)) {
      std::uint64_t u = yyjson_get_uint(v);
      return u > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())
                 ? std::numeric_limits<long long>::max()
                 : static_cast<long long>(u);
    }
    return yyjson_get_sint(v);
  }
  double d = yyjson_get_real(v);
  // Out-of-range values saturate rather than invoke undefined behaviour.
  if (!(d == d)) return 0;
  if (d >= 9.2e18) return std::numeric_limits<long long>::max();
  if (d <= -9.2e18) return std::numeric_limits<long long>::min();
  return static_cast<long long>(d);
}

int json_int(yyjson_val *obj, const char *key, int def) {
  long long v = json_num(obj, key, def);
  if (v > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
  if (v < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
  return static_cast<int>(v);
}

const char *json_str(yyjson_val *obj, const char *key) {
  yyjson_val *v = json_key(obj, key);
  return v && yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

}  // namespace kq
