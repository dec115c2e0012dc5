// JSON through yyjson: the library's output texts read into an owned tree, and
// a writer for the texts the tool prints or hands to the library. Strings are
// kept as raw bytes, so header values that are not UTF-8 pass through unchanged.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct yyjson_mut_doc;
struct yyjson_mut_val;

namespace kqcli {

struct jvalue {
  enum kind { null, boolean, number, string, array, object } type = null;
  bool b = false;
  double num = 0;
  std::string str;
  std::vector<jvalue> items;                            // array
  std::vector<std::pair<std::string, jvalue>> members;  // object, in order

  // Member of an object (the first one of that name), or a null value.
  const jvalue &operator[](std::string_view key) const;
  long long as_int(long long def = 0) const;
  const std::string &as_str() const;  // empty unless a string
};

// Parses a whole text; false (and a null value) when it is not one JSON value.
bool json_parse(std::string_view text, jvalue &out);

// Appends s as a JSON string with quotes; '"', '\\' and control bytes escaped.
void json_put_str(std::string &out, std::string_view s);

// Builds one JSON object key by key, in order.
class json_object {
 public:
  json_object();
  json_object(const json_object &) = delete;
  json_object &operator=(const json_object &) = delete;
  ~json_object();
  json_object &str(std::string_view key, std::string_view value);
  // Like str, but the value is referenced, not copied: it must outlive every
  // text() call. For passwords and tokens, whose only copy the caller wipes.
  json_object &secret(std::string_view key, std::string_view value);
  json_object &num(std::string_view key, long long value);
  json_object &raw(std::string_view key, std::string_view json);  // pre-built JSON
  // The object without blanks; the writer's own buffer is wiped before it is
  // freed.
  std::string text() const;

 private:
  yyjson_mut_doc *doc_;
  yyjson_mut_val *root_;
};

}  // namespace kqcli
