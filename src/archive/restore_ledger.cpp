#include "archive/restore_ledger.h"

#include <cstdio>

#include <yyjson.h>

#include "archive/file_util.h"
#include "base/error.h"
#include "base/text.h"

namespace kq {

namespace {

std::string ledger_path(const char *dir) {
  std::string p(dir);
  p += '/';
  p += k_restore_ledger_name;
  return p;
}

}  // namespace

void restore_ledger_format(std::string &out, const restore_ledger_line &l) {
  out += "{\"uid\":";
  out += decimal(l.uid);
  out += ",\"sha256\":";
  json_append_str(out, l.sha256);
  out += ",\"server\":";
  json_append_str_utf8(out, l.server);
  out += ",\"folder\":";
  json_append_str_utf8(out, l.folder);
  if (l.uidvalidity != 0 && l.server_uid != 0) {
    out += ",\"uidvalidity\":";
    out += decimal(l.uidvalidity);
    out += ",\"server_uid\":";
    out += decimal(l.server_uid);
  }
  out += "}\n";
}

std::vector<restore_ledger_line> restore_ledger_load(const char *dir) {
  std::vector<restore_ledger_line> out;
  // Read the way the archive's readers read what anyone may edit: never
  // through a link, never a device.
  plat::contained_file f;
  if (f.open(dir, k_restore_ledger_name) != plat::contained_file::ok) return out;
  std::string text, chunk(65536, '\0');
  for (;;) {
    long long got = f.read(chunk.data(), chunk.size());
    if (got <= 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(got));
  }
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) break;  // a torn last line says nothing
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    json_doc doc;
    if (!doc.parse(line)) continue;
    yyjson_val *root = doc.root();
    const char *sha = json_str(root, "sha256");
    const char *server = json_str(root, "server");
    const char *folder = json_str(root, "folder");
    long long uid = json_num(root, "uid", 0);
    if (!sha || !server || !folder || uid <= 0 || uid > 0xFFFFFFFFLL) continue;
    restore_ledger_line l;
    l.sha256 = sha;
    l.uid = static_cast<std::uint32_t>(uid);
    l.server = server;
    l.folder = folder;
    long long uv = json_num(root, "uidvalidity", 0), su = json_num(root, "server_uid", 0);
    if (uv > 0 && su > 0 && su <= 0xFFFFFFFFLL) {
      l.uidvalidity = static_cast<std::uint64_t>(uv);
      l.server_uid = static_cast<std::uint32_t>(su);
    }
    out.push_back(std::move(l));
  }
  return out;
}

bool restore_ledger_append(plat::append_file &f, const char *dir, const std::string &lines) {
  return append_lines(f, ledger_path(dir), lines);
}

}  // namespace kq
