// Re-hashes every message file a manifest lists and records the verdicts.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "archive/manifest_reader.h"
#include "archive/sha256_file.h"
#include "archive/verify.h"
#include "base/error.h"
#include "base/text.h"
#include "kerquill.h"
#include "platform/platform.h"

namespace kq {

namespace {

// A manifest entry may only name a file inside the archive: no absolute
// path, no drive, no ".." step, no embedded NUL.
bool inside_archive(std::string_view file) {
  if (file.empty() || file.find('\0') != std::string_view::npos) return false;
  if (file[0] == '/' || file[0] == '\\') return false;
  if (file.size() >= 2 && file[1] == ':') return false;
  std::size_t start = 0;
  while (start <= file.size()) {
    std::size_t end = file.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = file.size();
    if (file.substr(start, end - start) == "..") return false;
    start = end + 1;
  }
  return true;
}

void add_entry(long long uid, std::string_view file, const char *status) {
  std::string name;
  json_append_str_utf8(name, file);
  verify_add("%s{\"uid\":%lld,\"file\":%s,\"status\":\"%s\"}", s_verify.files_len ? "," : "", uid,
             name.c_str(), status);
}

// Verifies one manifest line; lines that are not entries are passed over.
void verify_line(const char *dir, std::string_view line, unsigned char *buf) {
  if (line.empty() || line[0] != '{') return;
  json_doc doc;
  if (!doc.parse(line) || !yyjson_is_obj(doc.root())) return;
  yyjson_val *file = json_key(doc.root(), "file");
  yyjson_val *sha = json_key(doc.root(), "sha256");
  if (!file || !sha || !json_key(doc.root(), "uid")) return;
  // A "file" that is no text names nothing to check.
  if (!yyjson_is_str(file)) return;
  long long uid = json_num(doc.root(), "uid", 0);
  std::string_view name(yyjson_get_str(file), yyjson_get_len(file));

  ++s_verify.total;
  std::string path;
  if (inside_archive(name)) {
    path.assign(dir).append("/").append(name);
  }
  char hex[65];
  // Only regular files are hashed: a device or pipe could never end.
  if (path.empty() || !plat::is_regular_file(path.c_str()) ||
      !sha256_file_hex(path.c_str(), buf, hex)) {
    ++s_verify.missing;
    add_entry(uid, name, "missing");
    return;
  }
  bool match = yyjson_is_str(sha) && std::string_view(yyjson_get_str(sha), yyjson_get_len(sha)) ==
                                         std::string_view(hex, 64);
  if (match) {
    ++s_verify.ok;
  } else {
    ++s_verify.corrupt;
    add_entry(uid, name, "corrupt");
  }
}

int verify_dir(const char *dir) {
  if (!dir || !*dir) {
    set_err("no dir");
    return -1;
  }
  verify_reset();
  manifest_reader in;
  if (!in.open(dir)) {
    set_err("no manifest.jsonl in %s", dir);
    return -1;
  }
  auto buf = std::make_unique<unsigned char[]>(k_hash_chunk);
  std::string_view line;
  while (in.next(line)) verify_line(dir, line, buf.get());
  // A manifest that breaks off is no verified archive.
  if (in.failed()) {
    set_err("cannot read manifest.jsonl in %s", dir);
    return -1;
  }
  set_err("%s", "");
  return 0;
}

}  // namespace
}  // namespace kq

extern "C" KQ_API int kq_verify_dir(const char *dir) {
  try {
    return kq::verify_dir(dir);
  } catch (...) {
    kq::set_err("out of memory");
    return -1;
  }
}
