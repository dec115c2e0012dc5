// The names attachments are listed and saved under.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/strcase.h"
#include "base/mime_params.h"
#include "base/utf8.h"
#include "base/windows_names.h"
#include "message/attachments.h"
#include "platform/platform.h"

namespace kq {

namespace {

constexpr std::size_t k_name_max = 255;  // bytes in a name on common file systems

// Splits "stem.ext" so a cut or a number goes before the extension; a long
// or missing extension is part of the stem.
std::size_t ext_start(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return name.size();
  return dot;
}

// stem + tail + ext in at most 255 bytes, the stem cut on a character.
std::string fit(std::string_view name, std::string_view tail) {
  std::size_t e = ext_start(name);
  std::string_view stem = name.substr(0, e), ext = name.substr(e);
  std::size_t room = k_name_max - tail.size() - ext.size();
  std::string out(stem.substr(0, utf8_prefix(stem, room)));
  out += tail;
  out += ext;
  return out;
}

}  // namespace

std::string safe_file_name(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  std::string_view base = slash == std::string_view::npos ? name : name.substr(slash + 1);
  std::string out;
  for (char ch : base) {
    auto c = static_cast<unsigned char>(ch);
    out += (c < 0x20 || c == 0x7f || c == ':') ? '_' : ch;
  }
  if (out.empty() || out == "." || out == "..") out = "attachment";
  if (windows_device_name(out)) out.insert(0, "_");
  if (out.size() > k_name_max) out = fit(out, "");
  // Where the file lands on Windows, "why?.pdf" or "notes." would fail to
  // save or be saved under another name. Keeps the length: the device name
  // has its '_' already.
  if (plat::windows_file_names()) out = windows_file_name(out);
  return out;
}

std::string numbered_file_name(std::string_view safe_name, int k) {
  if (k <= 1) return std::string(safe_name);
  char tail[24];
  std::snprintf(tail, sizeof tail, " (%d)", k);
  return fit(safe_name, tail);
}

std::string unnamed_part_name(int index, const char *ctype) {
  static constexpr struct {
    const char *type, *ext;
  } k_types[] = {
      {"application/pdf", "pdf"},   {"image/jpeg", "jpg"},       {"image/jpg", "jpg"},
      {"image/png", "png"},         {"image/gif", "gif"},        {"image/webp", "webp"},
      {"image/tiff", "tif"},        {"image/bmp", "bmp"},        {"image/svg+xml", "svg"},
      {"text/plain", "txt"},        {"text/html", "html"},       {"text/csv", "csv"},
      {"text/calendar", "ics"},     {"text/vcard", "vcf"},       {"text/x-vcard", "vcf"},
      {"message/rfc822", "eml"},    {"application/zip", "zip"},  {"application/gzip", "gz"},
      {"application/json", "json"}, {"application/xml", "xml"},  {"text/xml", "xml"},
      {"audio/mpeg", "mp3"},        {"audio/wav", "wav"},        {"video/mp4", "mp4"},
      {"application/msword", "doc"},
      {"application/vnd.ms-excel", "xls"},
      {"application/vnd.ms-powerpoint", "ppt"},
      {"application/vnd.openxmlformats-officedocument.wordprocessingml.document", "docx"},
      {"application/vnd.openxmlformats-officedocument.spreadsheetml.sheet", "xlsx"},
      {"application/vnd.openxmlformats-officedocument.presentationml.presentation", "pptx"},
      {"application/pkcs7-signature", "p7s"},
      {"application/x-pkcs7-signature", "p7s"},
      {"application/pgp-signature", "asc"},
  };
  std::string_view t = ctype ? ctype : "";
  t = t.substr(0, t.find(';'));
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  // Without a Content-Type a part is plain text (RFC 2045).
  const char *ext = t.empty() ? "txt" : "bin";
  for (const auto &e : k_types)
    if (ascii_ieq(t, e.type)) ext = e.ext;
  char out[64];
  std::snprintf(out, sizeof out, "attachment-%d.%s", index, ext);
  return out;
}

std::string attachment_name(const mime_part &p, int index) {
  if (p.filename[0]) return p.filename;
  std::string name;
  if (mime_param(p.ctype, "name", name) && !name.empty()) return name;
  return unnamed_part_name(index, part_type(p));
}

}  // namespace kq
