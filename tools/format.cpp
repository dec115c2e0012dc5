#include "format.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kqcli {

long long to_ll(std::string_view text) {
  std::string t(text);
  return std::strtoll(t.c_str(), nullptr, 10);
}

std::string human_bytes(long long bytes) {
  static const char *const units[] = {"B", "kB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes < 0 ? 0 : bytes);
  int u = 0;
  while (v >= 1000.0 && u < 4) {
    v /= 1000.0;
    ++u;
  }
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%lld B", bytes < 0 ? 0LL : bytes);
  else
    std::snprintf(buf, sizeof buf, v < 10 ? "%.1f %s" : "%.0f %s", v, units[u]);
  return buf;
}

std::string human_duration(long long s) {
  if (s < 0) s = 0;
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

std::string recovery_counts(long long retries, long long reconnects) {
  std::string out;
  auto add = [&out](long long n, const char *one, const char *many) {
    if (n <= 0) return;
    if (!out.empty()) out += ", ";
    out += std::to_string(n) + " " + (n == 1 ? one : many);
  };
  add(retries, "retry", "retries");
  add(reconnects, "reconnect", "reconnects");
  return out;
}

std::string short_date(std::string_view d) {
  static const char *const months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::string text(d);
  int day, year, hh, mm, ss;
  char mon[4] = {0};
  if (std::sscanf(text.c_str(), "%d-%3s-%d %d:%d:%d", &day, mon, &year, &hh, &mm, &ss) != 6)
    return text;
  const char *hit = std::strlen(mon) == 3 ? std::strstr(months, mon) : nullptr;
  if (!hit || (hit - months) % 3 != 0) return text;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d", year,
                static_cast<int>((hit - months) / 3 + 1), day, hh, mm);
  return buf;
}

namespace {

void put_utf8(std::string &s, unsigned cp) {
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool decode_b(std::string_view in, std::string &out) {
  unsigned acc = 0;
  int bits = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else if (c == '=') break;
    else return false;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return true;
}

bool decode_q(std::string_view in, std::string &out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c == '_') {
      out += ' ';
    } else if (c == '=' && i + 2 < in.size()) {
      int hi = hexval(in[i + 1]), lo = hexval(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '=') {
      return false;
    } else {
      out += c;
    }
  }
  return true;
}

std::string lower(std::string_view s) {
  std::string r(s);
  for (char &c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

// Decodes one "=?cs?enc?text?=" word; false leaves it to be shown raw.
bool decode_word(std::string_view word, std::string &out) {
  std::size_t q1 = word.find('?', 2);
  if (q1 == std::string_view::npos || q1 + 2 >= word.size() || word[q1 + 2] != '?') return false;
  std::string cs = lower(word.substr(2, q1 - 2));
  if (std::size_t star = cs.find('*'); star != std::string::npos) cs.resize(star);  // RFC 2231 language
  char enc = static_cast<char>(std::toupper(static_cast<unsigned char>(word[q1 + 1])));
  std::string_view text = word.substr(q1 + 3, word.size() - q1 - 5);
  std::string bytes;
  if (enc == 'B' ? !decode_b(text, bytes) : enc == 'Q' ? !decode_q(text, bytes) : true) return false;
  if (cs == "utf-8" || cs == "utf8" || cs == "us-ascii") {
    out += bytes;
    return true;
  }
  if (cs == "iso-8859-1" || cs == "latin1" || cs == "iso-8859-15" || cs == "windows-1252") {
    for (unsigned char c : bytes) put_utf8(out, c);
    return true;
  }
  return false;
}

}  // namespace

std::string decode_words(std::string_view v) {
  std::string out;
  std::size_t i = 0;
  bool last_was_word = false;
  while (i < v.size()) {
    std::size_t start = v.find("=?", i);
    if (start == std::string_view::npos) break;
    std::size_t q1 = v.find('?', start + 2);
    std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('?', q1 + 1);
    std::size_t end = q2 == std::string_view::npos ? q2 : v.find("?=", q2 + 1);
    if (end == std::string_view::npos) break;
    std::string_view gap = v.substr(i, start - i);
    std::string decoded;
    if (!decode_word(v.substr(start, end + 2 - start), decoded)) {
      out.append(v.substr(i, end + 2 - i));
      i = end + 2;
      last_was_word = false;
      continue;
    }
    // Blanks between two adjacent encoded words are not part of the text.
    bool blank_gap = gap.find_first_not_of(" \t\r\n") == std::string_view::npos;
    if (!(last_was_word && blank_gap)) out.append(gap);
    out += decoded;
    i = end + 2;
    last_was_word = true;
  }
  out.append(v.substr(i));
  return out;
}

std::string printable(std::string_view text, bool keep_lines) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\r') continue;
    if (keep_lines && (c == '\n' || c == '\t')) out += static_cast<char>(c);
    else if (c == '\t' || c == '\n') out += ' ';
    else if (c < 0x20 || c == 0x7F) out += '?';
    else out += static_cast<char>(c);
  }
  return out;
}

std::string header_display(std::string_view raw) {
  std::string s = printable(decode_words(raw), false);
  std::string out;
  bool blank = false;
  for (char c : s) {
    if (c == ' ') {
      if (!blank && !out.empty()) out += ' ';
      blank = true;
    } else {
      out += c;
      blank = false;
    }
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string shell_word(std::string_view text) {
  if (!text.empty() && text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                               "0123456789._/-+=:,@") == std::string_view::npos)
    return std::string(text);
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::size_t text_width(std::string_view text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string fit(std::string_view text, std::size_t cols) {
  if (text_width(text) <= cols) return std::string(text);
  if (cols == 0) return "";
  std::string out;
  std::size_t n = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) != 0x80) {
      if (n == cols - 1) break;
      ++n;
    }
    out += static_cast<char>(c);
  }
  return out + "\xE2\x80\xA6";  // …
}

std::string pad(std::string_view text, std::size_t cols) {
  std::string s = fit(text, cols);
  s.append(cols - text_width(s), ' ');
  return s;
}

std::string pad_left(std::string_view text, std::size_t cols) {
  std::string s = fit(text, cols);
  return std::string(cols - text_width(s), ' ') + s;
}

}  // namespace kqcli
