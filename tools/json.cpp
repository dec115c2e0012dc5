// The tool's JSON on top of yyjson: the library's output texts are read into a
// small owned tree (so callers can keep values across library calls), and the
// texts the tool writes go through yyjson's writer.
#include "json.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

namespace kqcli {

namespace {

const jvalue k_null;

// The library never nests deeply; a text that does is not one of its own.
constexpr int k_max_depth = 64;

bool convert(yyjson_val *in, jvalue &out, int depth) {
  if (depth > k_max_depth) return false;
  switch (yyjson_get_type(in)) {
    case YYJSON_TYPE_NULL: out.type = jvalue::null; return true;
    case YYJSON_TYPE_BOOL:
      out.type = jvalue::boolean;
      out.b = yyjson_get_bool(in);
      return true;
    case YYJSON_TYPE_NUM:
      out.type = jvalue::number;
      out.num = yyjson_get_num(in);
      return true;
    case YYJSON_TYPE_STR:
      out.type = jvalue::string;
      out.str.assign(yyjson_get_str(in), yyjson_get_len(in));
      return true;
    case YYJSON_TYPE_ARR: {
      out.type = jvalue::array;
      out.items.reserve(yyjson_arr_size(in));
      yyjson_val *item;
      yyjson_arr_iter it = yyjson_arr_iter_with(in);
      while ((item = yyjson_arr_iter_next(&it))) {
        out.items.emplace_back();
        if (!convert(item, out.items.back(), depth + 1)) return false;
      }
      return true;
    }
    case YYJSON_TYPE_OBJ: {
      out.type = jvalue::object;
      out.members.reserve(yyjson_obj_size(in));
      yyjson_val *key;
      yyjson_obj_iter it = yyjson_obj_iter_with(in);
      while ((key = yyjson_obj_iter_next(&it))) {
        out.members.emplace_back(std::string(yyjson_get_str(key), yyjson_get_len(key)), jvalue{});
        if (!convert(yyjson_obj_iter_get_val(key), out.members.back().second, depth + 1)) return false;
      }
      return true;
    }
    default: return false;
  }
}

// Header bytes that are not UTF-8 pass through unchanged, as the library
// hands them over.
constexpr yyjson_write_flag k_write_flags = YYJSON_WRITE_ALLOW_INVALID_UNICODE;

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
  yyjson_doc *doc = yyjson_read(text.data(), text.size(), YYJSON_READ_ALLOW_INVALID_UNICODE);
  if (!doc) return false;
  bool ok = convert(yyjson_doc_get_root(doc), out, 0);
  yyjson_doc_free(doc);
  if (!ok) out = jvalue{};
  return ok;
}

void json_put_str(std::string &out, std::string_view s) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (!doc) throw std::bad_alloc();
  yyjson_mut_doc_set_root(doc, yyjson_mut_strn(doc, s.data(), s.size()));
  std::size_t len = 0;
  char *text = yyjson_mut_write(doc, k_write_flags, &len);
  yyjson_mut_doc_free(doc);
  if (!text) throw std::bad_alloc();
  out.append(text, len);
  std::free(text);
}

json_object::json_object() : doc_(yyjson_mut_doc_new(nullptr)) {
  if (!doc_) throw std::bad_alloc();
  root_ = yyjson_mut_obj(doc_);
  yyjson_mut_doc_set_root(doc_, root_);
}

json_object::~json_object() { yyjson_mut_doc_free(doc_); }

json_object &json_object::str(std::string_view k, std::string_view value) {
  yyjson_mut_obj_add(root_, yyjson_mut_strncpy(doc_, k.data(), k.size()),
                     yyjson_mut_strncpy(doc_, value.data(), value.size()));
  return *this;
}

json_object &json_object::secret(std::string_view k, std::string_view value) {
  // Not copied into the document's pool, which is freed without being wiped.
  yyjson_mut_obj_add(root_, yyjson_mut_strncpy(doc_, k.data(), k.size()),
                     yyjson_mut_strn(doc_, value.data(), value.size()));
  return *this;
}

json_object &json_object::num(std::string_view k, long long value) {
  yyjson_mut_obj_add(root_, yyjson_mut_strncpy(doc_, k.data(), k.size()), yyjson_mut_sint(doc_, value));
  return *this;
}

json_object &json_object::raw(std::string_view k, std::string_view json) {
  yyjson_mut_obj_add(root_, yyjson_mut_strncpy(doc_, k.data(), k.size()),
                     yyjson_mut_rawncpy(doc_, json.data(), json.size()));
  return *this;
}

std::string json_object::text() const {
  std::size_t len = 0;
  char *out = yyjson_mut_write(doc_, k_write_flags, &len);
  if (!out) throw std::bad_alloc();
  std::string result(out, len);
  for (std::size_t i = 0; i < len; ++i) *const_cast<volatile char *>(out + i) = 0;
  std::free(out);
  return result;
}

}  // namespace kqcli
