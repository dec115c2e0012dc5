#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kqcli {

namespace {

const jvalue k_null;

class parser {
 public:
  explicit parser(std::string_view t) : t_(t) {}

  bool document(jvalue &v) {
    if (!value(v, 0)) return false;
    ws();
    return i_ == t_.size();
  }

 private:
  // Deep nesting never comes from the library; refuse it rather than recurse.
  static constexpr int k_max_depth = 64;

  void ws() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
      ++i_;
  }
  bool eat(char c) {
    ws();
    if (i_ < t_.size() && t_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (t_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  bool value(jvalue &v, int depth) {
    if (depth > k_max_depth) return false;
    ws();
    if (i_ >= t_.size()) return false;
    char c = t_[i_];
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v.type = jvalue::string;
      return string(v.str);
    }
    if (c == 't' && word("true")) {
      v.type = jvalue::boolean;
      v.b = true;
      return true;
    }
    if (c == 'f' && word("false")) {
      v.type = jvalue::boolean;
      return true;
    }
    if (c == 'n' && word("null")) return true;
    return number(v);
  }

  bool object(jvalue &v, int depth) {
    v.type = jvalue::object;
    ++i_;
    if (eat('}')) return true;
    do {
      ws();
      std::pair<std::string, jvalue> m;
      if (i_ >= t_.size() || t_[i_] != '"' || !string(m.first)) return false;
      if (!eat(':') || !value(m.second, depth + 1)) return false;
      v.members.push_back(std::move(m));
    } while (eat(','));
    return eat('}');
  }

  bool array(jvalue &v, int depth) {
    v.type = jvalue::array;
    ++i_;
    if (eat(']')) return true;
    do {
      jvalue item;
      if (!value(item, depth + 1)) return false;
      v.items.push_back(std::move(item));
    } while (eat(','));
    return eat(']');
  }

  bool number(jvalue &v) {
    std::size_t start = i_;
    if (i_ < t_.size() && t_[i_] == '-') ++i_;
    std::size_t digits = i_;
    while (i_ < t_.size() && ((t_[i_] >= '0' && t_[i_] <= '9') || t_[i_] == '.' || t_[i_] == 'e' ||
                              t_[i_] == 'E' || t_[i_] == '+' || t_[i_] == '-'))
      ++i_;
    if (i_ == digits) return false;
    std::string text(t_.substr(start, i_ - start));
    char *end = nullptr;
    v.num = std::strtod(text.c_str(), &end);
    v.type = jvalue::number;
    return end && *end == '\0';
  }

  static void put_utf8(std::string &s, unsigned cp) {
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | (cp >> 12));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (cp >> 18));
      s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool hex4(unsigned &cp) {
    if (i_ + 4 > t_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      char c = t_[i_++];
      cp <<= 4;
      if (c >= '0' && c <= '9') cp |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') cp |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') cp |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool string(std::string &s) {
    ++i_;  // opening quote
    while (i_ < t_.size()) {
      char c = t_[i_++];
      if (c == '"') return true;
      if (c != '\\') {
        s += c;
        continue;
      }
      if (i_ >= t_.size()) return false;
      char e = t_[i_++];
      switch (e) {
        case '"': s += '"'; break;
        case '\\': s += '\\'; break;
        case '/': s += '/'; break;
        case 'b': s += '\b'; break;
        case 'f': s += '\f'; break;
        case 'n': s += '\n'; break;
        case 'r': s += '\r'; break;
        case 't': s += '\t'; break;
        case 'u': {
          unsigned cp;
          if (!hex4(cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00 && t_.substr(i_, 2) == "\\u") {
            std::size_t back = i_;
            i_ += 2;
            unsigned lo;
            if (hex4(lo) && lo >= 0xDC00 && lo < 0xE000)
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            else
              i_ = back;
          }
          // A \u00XX that a writer used for a byte that was not UTF-8 comes
          // out as that Latin-1 character, the likeliest reading.
          put_utf8(s, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view t_;
  std::size_t i_ = 0;
};

}  // namespace

const jvalue &jvalue::operator[](std::string_view key) const {
  if (type != object) return k_null;
  for (const auto &m : members)
    if (m.first == key) return m.second;
  return k_null;
}

long long jvalue::as_int(long long def) const {
  if (type != number || !std::isfinite(num)) return def;
  return static_cast<long long>(num);
}

const std::string &jvalue::as_str() const { return type == string ? str : k_null.str; }

bool json_parse(std::string_view text, jvalue &out) {
  out = jvalue{};
  parser p(text);
  if (p.document(out)) return true;
  out = jvalue{};
  return false;
}

void json_put_str(std::string &out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

json_object::~json_object() {
  for (auto &c : out_) *const_cast<volatile char *>(&c) = 0;
}

void json_object::key(std::string_view k) {
  if (out_.size() > 1) out_ += ',';
  json_put_str(out_, k);
  out_ += ':';
}

json_object &json_object::str(std::string_view k, std::string_view value) {
  key(k);
  json_put_str(out_, value);
  return *this;
}

json_object &json_object::num(std::string_view k, long long value) {
  key(k);
  out_ += std::to_string(value);
  return *this;
}

json_object &json_object::raw(std::string_view k, std::string_view json) {
  key(k);
  out_ += json;
  return *this;
}

}  // namespace kqcli
