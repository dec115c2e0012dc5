// Small text helpers shared by every subsystem: bounded copies, JSON string
// output and the reading of JSON inputs.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct yyjson_val;
struct yyjson_doc;

namespace kq {

// v in decimal. (Not std::to_string: that leaves a template's static table
// among the shared library's exported symbols.)
std::string decimal(unsigned long long v);

// Copies src into dst[cap], cut at cap-1 characters; always NUL-terminated.
void copy_cut(char *dst, std::size_t cap, std::string_view src);

// Appends s as a JSON string (quotes included): '"', '\\' and bytes below
// 0x20 escaped, every other byte unchanged.
void json_append_str(std::string &out, std::string_view s);
// Same, but bytes that are not valid UTF-8 become \u00XX so strict JSON
// parsers accept the result.
void json_append_str_utf8(std::string &out, std::string_view s);

// Owns a parsed JSON document (strict parse, no flags).
class json_doc {
 public:
  json_doc() = default;
  ~json_doc();
  json_doc(const json_doc &) = delete;
  json_doc &operator=(const json_doc &) = delete;
  bool parse(const char *text, std::size_t len);
  bool parse(std::string_view text) { return parse(text.data(), text.size()); }
  yyjson_val *root() const;
 private:
  yyjson_doc *doc_ = nullptr;
};

// Key lookups at the top level of an object; the first occurrence counts.
// Null when obj is not an object or the key is absent.
yyjson_val *json_key(yyjson_val *obj, const char *key);
// Number rule: any JSON number truncated toward zero; a present non-number
// gives 0; absent gives def.
long long json_num(yyjson_val *obj, const char *key, long long def);
int json_int(yyjson_val *obj, const char *key, int def);
// String value, or null when absent or not a string.
const char *json_str(yyjson_val *obj, const char *key);

}  // namespace kq
