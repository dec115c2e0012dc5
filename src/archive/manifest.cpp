#include "archive/manifest.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <unordered_map>

#include <yyjson.h>

#include "base/error.h"

namespace kq {

namespace {
constexpr std::size_t k_chunk = 65536;

void append_num(std::string &out, const char *format, auto value) {
  char num[32];
  std::snprintf(num, sizeof num, format, value);
  out += num;
}

bool all_blank(std::string_view s) {
  for (char c : s)
    if (c != ' ' && c != '\t' && c != '\r') return false;
  return true;
}

void append_list(std::string &out, const char *key, const std::vector<std::string> *list) {
  out += ",\"";
  out += key;
  out += "\":[";
  if (list)
    for (std::size_t i = 0; i < list->size(); ++i) {
      if (i) out += ',';
      json_append_str_utf8(out, (*list)[i]);
    }
  out += ']';
}

// The text members of a list; false when the key is absent or no list.
bool read_list(yyjson_val *root, const char *key, std::vector<std::string_view> &out) {
  yyjson_val *list = json_key(root, key);
  if (!list || !yyjson_is_arr(list)) return false;
  std::size_t i, n;
  yyjson_val *v;
  yyjson_arr_foreach(list, i, n, v) {
    if (yyjson_is_str(v)) out.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  }
  return true;
}

std::size_t uid_hash(std::uint32_t uid, std::size_t size) {
  return static_cast<std::uint32_t>(uid * 2654435761u) & (size - 1);
}

// What both kinds of line start with: which message of which folder and
// generation they speak of.
void append_line_head(std::string &out, std::uint32_t uid, std::string_view folder, std::uint64_t uidvalidity) {
  out += "{\"uid\":";
  append_num(out, "%u", static_cast<unsigned>(uid));
  out += ",\"folder\":";
  json_append_str_utf8(out, folder);
  if (uidvalidity) {
    out += ",\"uidvalidity\":";
    append_num(out, "%llu", static_cast<unsigned long long>(uidvalidity));
  }
}

}  // namespace

std::string manifest_path(std::string_view dir) {
  std::string p(dir);
  p += '/';
  p += k_manifest_name;
  return p;
}

void manifest_format_line(std::string &out, const manifest_fields &f) {
  append_line_head(out, f.uid, f.folder, f.uidvalidity);
  out += ",\"file\":";
  json_append_str_utf8(out, f.file);
  out += ",\"sha256\":\"";
  out += f.sha256;
  out += "\",\"size\":";
  append_num(out, "%llu", static_cast<unsigned long long>(f.size));
  out += ",\"from\":";
  json_append_str_utf8(out, f.from);
  out += ",\"subject\":";
  json_append_str_utf8(out, f.subject);
  out += ",\"date\":";
  json_append_str_utf8(out, f.date);
  out += ",\"ts\":";
  append_num(out, "%lld", f.ts);
  if (f.flags) append_list(out, "flags", f.flags);
  if (f.labels) append_list(out, "labels", f.labels);
  out += "}\n";
}

void manifest_format_flag_line(std::string &out, const manifest_flag_fields &f) {
  append_line_head(out, f.uid, f.folder, f.uidvalidity);
  append_list(out, "flags", f.flags);
  if (f.labels) append_list(out, "labels", f.labels);
  out += ",\"ts_flags\":";
  append_num(out, "%lld", f.ts_flags);
  out += "}\n";
}

manifest_line_kind manifest_parse_line(std::string_view line, json_doc &doc, manifest_entry &out) {
  out = manifest_entry{};
  if (all_blank(line)) return manifest_line_kind::blank;
  if (line[0] != '{' || !doc.parse(line) || !yyjson_is_obj(doc.root()))
    return manifest_line_kind::unreadable;
  yyjson_val *root = doc.root();
  yyjson_val *uid = json_key(root, "uid");
  if (!uid || !yyjson_is_num(uid)) return manifest_line_kind::unreadable;
  // json_num saturates, so a huge value cannot wrap into the UID range.
  long long u = json_num(root, "uid", 0);
  if (u < 1 || u > 4294967295LL) return manifest_line_kind::unreadable;
  out.uid = static_cast<std::uint32_t>(u);
  yyjson_val *folder = json_key(root, "folder");
  if (folder && yyjson_is_str(folder))
    out.folder = std::string_view(yyjson_get_str(folder), yyjson_get_len(folder));
  // Only a plain positive integer names a UIDVALIDITY (RFC 3501: nz-number).
  yyjson_val *uv = json_key(root, "uidvalidity");
  if (uv && yyjson_is_uint(uv) && yyjson_get_uint(uv) > 0 && yyjson_get_uint(uv) <= 4294967295ULL) {
    out.has_uidvalidity = true;
    out.uidvalidity = yyjson_get_uint(uv);
  }
  out.has_flags = read_list(root, "flags", out.flags);
  out.has_labels = read_list(root, "labels", out.labels);
  yyjson_val *file = json_key(root, "file");
  if (!file) {
    // A flag line names no file; one without its list or its time is no
    // flag line either.
    yyjson_val *when = json_key(root, "ts_flags");
    if (!out.has_flags || !when || !yyjson_is_num(when)) return manifest_line_kind::unreadable;
    out.ts_flags = json_num(root, "ts_flags", 0);
    return manifest_line_kind::flag_update;
  }
  yyjson_val *sha = json_key(root, "sha256");
  if (!yyjson_is_str(file) || !sha || yyjson_get_len(file) == 0) return manifest_line_kind::unreadable;
  out.file = std::string_view(yyjson_get_str(file), yyjson_get_len(file));
  out.sha256_is_text = yyjson_is_str(sha);
  if (out.sha256_is_text) out.sha256 = std::string_view(yyjson_get_str(sha), yyjson_get_len(sha));
  yyjson_val *size = json_key(root, "size");
  out.has_size = size && yyjson_is_num(size);
  if (out.has_size) out.size = json_num(root, "size", 0);
  out.has_ts = json_key(root, "ts") != nullptr;
  if (out.has_ts) out.ts = json_num(root, "ts", 0);
  return manifest_line_kind::entry;
}

plat::contained_file::status manifest_reader::open(const char *dir) {
  pos_ = len_ = 0;
  failed_ = oversized_ = false;
  line_no_ = 0;
  plat::contained_file::status st = file_.open(dir, k_manifest_name);
  if (st == plat::contained_file::ok) buf_ = std::make_unique<char[]>(k_chunk);
  return st;
}

bool manifest_reader::open_or_explain(const char *dir) {
  switch (open(dir)) {
    case plat::contained_file::ok: return true;
    case plat::contained_file::absent: set_err("no manifest.jsonl in %s", dir); return false;
    case plat::contained_file::refused: set_err("manifest.jsonl in %s is not a regular file", dir); return false;
    case plat::contained_file::failed: break;
  }
  set_err("cannot read manifest.jsonl in %s", dir);
  return false;
}

bool manifest_reader::fill() {
  pos_ = len_ = 0;
  long long n = file_.read(buf_.get(), k_chunk);
  if (n < 0) failed_ = true;
  if (n <= 0) return false;
  len_ = static_cast<std::size_t>(n);
  return true;
}

bool manifest_reader::next(std::string_view &line) {
  if (!file_.is_open() || failed_) return false;
  line_.clear();
  oversized_ = false;
  bool any = false;
  for (;;) {
    if (pos_ == len_ && !fill()) {
      if (failed_) return false;
      // End of file: a last line without a line feed still counts.
      if (!any) return false;
      break;
    }
    any = true;
    const char *start = buf_.get() + pos_;
    const void *nl = std::memchr(start, '\n', len_ - pos_);
    std::size_t n = nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - start)
                       : len_ - pos_;
    if (!oversized_) {
      if (line_.size() + n > k_max_line) {
        oversized_ = true;
        line_.clear();
        line_.shrink_to_fit();
      } else {
        line_.append(start, n);
      }
    }
    pos_ += n;
    if (nl) {
      ++pos_;
      break;
    }
  }
  ++line_no_;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  line = line_;
  return true;
}

entry_id manifest_entry_id(const manifest_entry &e, std::uint64_t base) {
  return {e.has_uidvalidity ? e.uidvalidity : base, e.uid};
}

namespace {
void take_list(std::vector<std::string> &dst, const std::vector<std::string_view> &src) {
  dst.assign(src.begin(), src.end());
}
}  // namespace

int manifest_latest_flags(const char *dir, std::uint64_t base, std::vector<manifest_message> &out) {
  out.clear();
  manifest_reader in;
  if (!in.open_or_explain(dir)) return -1;
  try {
    // Where each message's record is in out, by generation and UID.
    std::unordered_map<std::uint64_t, std::size_t> at;
    auto key = [](entry_id id) { return (id.generation << 32) ^ id.uid; };
    json_doc doc;
    manifest_entry e;
    std::string_view line;
    while (in.next(line)) {
      if (in.oversized()) continue;
      manifest_line_kind kind = manifest_parse_line(line, doc, e);
      if (kind != manifest_line_kind::entry && kind != manifest_line_kind::flag_update) continue;
      entry_id id = manifest_entry_id(e, base);
      auto it = at.find(key(id));
      if (it == at.end()) {
        if (kind == manifest_line_kind::flag_update) continue;  // no message to change
        at.emplace(key(id), out.size());
        manifest_message &m = out.emplace_back();
        m.generation = id.generation;
        m.uid = e.uid;
        m.folder = e.folder;
        m.file = e.file;
        m.sha256 = e.sha256;
        m.size = e.has_size ? e.size : -1;
        m.ts = e.has_ts ? e.ts : -1;
        // from, subject and date are not kept in manifest_entry: read here.
        auto text = [&doc](const char *k) {
          const char *v = json_str(doc.root(), k);
          return std::string(v ? v : "");
        };
        m.from = text("from");
        m.subject = text("subject");
        m.date = text("date");
        m.has_flags = e.has_flags;
        take_list(m.flags, e.flags);
        m.has_labels = e.has_labels;
        take_list(m.labels, e.labels);
        continue;
      }
      // A later line for a stored message: its flags are the newer ones.
      manifest_message &m = out[it->second];
      if (e.has_flags) {
        m.has_flags = true;
        take_list(m.flags, e.flags);
      }
      if (e.has_labels) {
        m.has_labels = true;
        take_list(m.labels, e.labels);
      }
      if (kind == manifest_line_kind::flag_update) m.ts_flags = e.ts_flags;
    }
  } catch (const std::bad_alloc &) {
    out.clear();
    set_err("out of memory");
    return -1;
  }
  if (in.failed()) {
    out.clear();
    set_err("cannot read manifest.jsonl in %s", dir);
    return -1;
  }
  return 0;
}

uid_set::uid_set(std::size_t min_slots) {
  std::size_t n = 1;
  while (n < min_slots) n *= 2;
  slots_.reset(new (std::nothrow) std::uint32_t[n]());
  if (slots_) size_ = n;
}

bool uid_set::grow() {
  std::size_t n = size_ * 2;
  std::unique_ptr<std::uint32_t[]> bigger(new (std::nothrow) std::uint32_t[n]());
  if (!bigger) return false;
  for (std::size_t i = 0; i < size_; ++i) {
    std::uint32_t u = slots_[i];
    if (!u) continue;
    std::size_t k = uid_hash(u, n);
    while (bigger[k]) k = (k + 1) & (n - 1);
    bigger[k] = u;
  }
  slots_ = std::move(bigger);
  size_ = n;
  return true;
}

bool uid_set::contains(std::uint32_t uid) const {
  if (!slots_ || uid == 0) return false;
  std::size_t k = uid_hash(uid, size_);
  while (slots_[k]) {
    if (slots_[k] == uid) return true;
    k = (k + 1) & (size_ - 1);
  }
  return false;
}

uid_set::result uid_set::insert(std::uint32_t uid) {
  if (!slots_) return failed;
  std::size_t k = uid_hash(uid, size_);
  while (slots_[k]) {
    if (slots_[k] == uid) return present;
    k = (k + 1) & (size_ - 1);
  }
  // Keep at least half the slots empty so every probe meets an empty one.
  if ((used_ + 1) * 2 > size_) {
    if (!grow()) return failed;
    k = uid_hash(uid, size_);
    while (slots_[k]) k = (k + 1) & (size_ - 1);
  }
  slots_[k] = uid;
  ++used_;
  return added;
}

bool seen_entries::first_sight(const manifest_entry &e) {
  if (!exact_) return true;
  entry_id id = manifest_entry_id(e, base_);
  uid_set *set = nullptr;
  for (auto &g : sets_)
    if (g.first == id.generation) set = g.second.get();
  if (!set) {
    auto fresh = std::make_unique<uid_set>(1024);
    if (fresh->ok()) {
      set = fresh.get();
      sets_.emplace_back(id.generation, std::move(fresh));
    }
  }
  uid_set::result r = set ? set->insert(id.uid) : uid_set::failed;
  if (r == uid_set::failed) exact_ = false;
  return r != uid_set::present;
}

bool seen_entries::contains(entry_id id) const {
  for (const auto &g : sets_)
    if (g.first == id.generation) return g.second->contains(id.uid);
  return false;
}

}  // namespace kq
