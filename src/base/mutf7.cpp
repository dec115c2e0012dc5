#include "base/mutf7.h"

#include "base/utf8.h"

namespace kq {

namespace {

constexpr char k_alpha[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

int digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == ',') return 63;
  return -1;
}

// Decodes the base64 run between '&' and '-' as UTF-16BE into out.
bool decode_run(std::string_view run, std::string &out) {
  unsigned bits = 0;
  int nbits = 0;
  char32_t high = 0;  // pending high surrogate
  for (char c : run) {
    int v = digit(c);
    if (v < 0) return false;
    bits = (bits << 6) | static_cast<unsigned>(v);
    nbits += 6;
    if (nbits < 16) continue;
    nbits -= 16;
    auto unit = static_cast<char32_t>((bits >> nbits) & 0xFFFF);
    bits &= (1u << nbits) - 1;
    if (high) {
      if (unit < 0xDC00 || unit > 0xDFFF) return false;
      utf8_put(out, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
      high = 0;
    } else if (unit >= 0xD800 && unit <= 0xDBFF) {
      high = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return false;
    } else {
      utf8_put(out, unit);
    }
  }
  // Leftover bits are padding and must be zero; a run ends on a whole unit.
  return !high && nbits < 6 && (bits & ((1u << nbits) - 1)) == 0;
}

void encode_run(const std::u32string &cps, std::string &out) {
  out += '&';
  unsigned bits = 0;
  int nbits = 0;
  auto unit = [&](unsigned u) {
    bits = (bits << 16) | u;
    nbits += 16;
    while (nbits >= 6) {
      nbits -= 6;
      out += k_alpha[(bits >> nbits) & 0x3F];
    }
    bits &= (1u << nbits) - 1;
  };
  for (char32_t cp : cps) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(0xD800 + static_cast<unsigned>(cp >> 10));
      unit(0xDC00 + static_cast<unsigned>(cp & 0x3FF));
    } else {
      unit(static_cast<unsigned>(cp));
    }
  }
  if (nbits > 0) out += k_alpha[(bits << (6 - nbits)) & 0x3F];
  out += '-';
}

}  // namespace

bool mutf7_decode(std::string_view name, std::string &out) {
  out.clear();
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (static_cast<unsigned char>(c) > 0x7E) return false;
    if (c != '&') {
      out += c;
      continue;
    }
    std::size_t end = name.find('-', i + 1);
    if (end == std::string_view::npos) return false;
    if (end == i + 1) {
      out += '&';
    } else if (!decode_run(name.substr(i + 1, end - i - 1), out)) {
      return false;
    }
    i = end;
  }
  return true;
}

std::string mutf7_encode(std::string_view utf8) {
  std::string out;
  std::u32string run;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp;
    std::size_t n = utf8_seq(utf8, i, &cp);
    if (n == 0) {
      cp = 0xFFFD;
      n = 1;
    }
    i += n;
    if (cp >= 0x20 && cp <= 0x7E) {
      if (!run.empty()) {
        encode_run(run, out);
        run.clear();
      }
      out += static_cast<char>(cp);
      if (cp == '&') out += '-';
    } else {
      run += cp;
    }
  }
  if (!run.empty()) encode_run(run, out);
  return out;
}

std::string folder_display_name(std::string_view name) {
  std::string out;
  if (mutf7_decode(name, out)) return out;
  return std::string(name);
}

std::string folder_wire_name(std::string_view name) {
  std::string decoded;
  if (mutf7_decode(name, decoded)) return std::string(name);
  return mutf7_encode(name);
}

}  // namespace kq
