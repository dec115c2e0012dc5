// What a restore puts back: the manifest's messages of the archive's
// current UIDVALIDITY generation, with their latest flags.
#include <cstdio>
#include <ctime>
#include <map>

#include <yyjson.h>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "base/dates.h"
#include "base/error.h"
#include "base/text.h"
#include "platform/platform.h"
#include "restore/restore_job.h"

namespace kq {

namespace {

// "dd-Mon-yyyy hh:mm:ss +0000" of UTC seconds.
std::string internaldate_of(long long ts) {
  if (ts < 0) return {};
  std::tm tm{};
  if (!plat::utc_to_tm(ts, &tm)) return {};
  char out[40];
  std::snprintf(out, sizeof out, "%02d-%s-%04d %02d:%02d:%02d +0000", tm.tm_mday, k_month_abbr[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

// True when text is an INTERNALDATE as APPEND takes it, "dd-Mon-yyyy
// hh:mm:ss +zzzz" (day possibly a blank and one digit): a date the server
// would refuse must not cost the message.
bool append_date(std::string_view t) {
  auto digit = [&](std::size_t i) { return t[i] >= '0' && t[i] <= '9'; };
  if (t.size() != 26 || !(digit(0) || t[0] == ' ') || !digit(1) || t[2] != '-' || t[6] != '-' || t[11] != ' ' ||
      t[14] != ':' || t[17] != ':' || t[20] != ' ' || (t[21] != '+' && t[21] != '-'))
    return false;
  for (std::size_t i : {7, 8, 9, 10, 12, 13, 15, 16, 18, 19, 22, 23, 24, 25})
    if (!digit(i)) return false;
  bool month = false;
  for (const char *m : k_month_abbr) month = month || t.substr(3, 3) == m;
  return month;
}

// A line that sets a message's flags after the fact: a uid and "flags",
// no "file". Its generation is its own UIDVALIDITY or the base one.
bool flags_line(yyjson_val *root, std::uint64_t base, std::uint64_t &gen, std::uint32_t &uid,
                std::vector<std::string> &flags) {
  if (!yyjson_is_obj(root) || json_key(root, "file")) return false;
  yyjson_val *u = json_key(root, "uid");
  yyjson_val *f = json_key(root, "flags");
  if (!u || !yyjson_is_num(u) || !f || !yyjson_is_arr(f)) return false;
  long long n = json_num(root, "uid", 0);
  if (n < 1 || n > 4294967295LL) return false;
  uid = static_cast<std::uint32_t>(n);
  yyjson_val *uv = json_key(root, "uidvalidity");
  gen = uv && yyjson_is_uint(uv) && yyjson_get_uint(uv) > 0 ? yyjson_get_uint(uv) : base;
  flags.clear();
  std::size_t i, count;
  yyjson_val *v;
  yyjson_arr_foreach(f, i, count, v) {
    if (yyjson_is_str(v)) flags.emplace_back(yyjson_get_str(v), yyjson_get_len(v));
  }
  return true;
}

struct gen_items {
  std::map<std::uint32_t, restore_item> items;
};

}  // namespace

bool restore_plan(const std::string &dir, std::vector<restore_item> &out) {
  out.clear();
  resume_data data;
  std::uint64_t current = 0, base = 0;
  try {
    if (resume_load(dir.c_str(), data) == resume_load_result::loaded) {
      current = data.uidvalidity;
      base = resume_base_generation(data);
    }
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return false;
  }
  manifest_reader reader;
  if (reader.open(dir.c_str()) != plat::contained_file::ok) {
    set_err("cannot read %s", manifest_path(dir).c_str());
    return false;
  }
  // Every generation's messages are kept until the end: without a
  // resume.json the current one is that of the last message line.
  std::map<std::uint64_t, gen_items> gens;
  std::uint64_t last_gen = 0;
  std::string_view line;
  std::vector<std::string> flags;
  while (reader.next(line)) {
    if (reader.oversized()) continue;
    json_doc doc;
    manifest_entry e;
    manifest_line_kind kind = manifest_parse_line(line, doc, e);
    if (kind == manifest_line_kind::entry) {
      std::uint64_t gen = manifest_entry_id(e, base).generation;
      last_gen = gen;
      auto &items = gens[gen].items;
      // The first line of a UID names its file, as the exporter's pruning
      // keeps it.
      if (items.count(e.uid) || !e.sha256_is_text) continue;
      restore_item it;
      it.uid = e.uid;
      it.file.assign(e.file);
      it.sha256.assign(e.sha256);
      it.size = e.has_size ? e.size : -1;
      // The INTERNALDATE text as the server sent it keeps its zone; the
      // seconds are the fallback.
      const char *date = json_str(doc.root(), "date");
      if (date && append_date(date) && internaldate_ts(date) >= 0) it.date = date;
      else if (e.has_ts) it.date = internaldate_of(e.ts);
      for (std::string_view f : e.flags) it.flags.emplace_back(f);
      items.emplace(e.uid, std::move(it));
      continue;
    }
    // Whatever else the reader calls a line that is not a message's, a
    // flags line is read here by its keys.
    if (kind == manifest_line_kind::blank) continue;
    json_doc fdoc;
    std::uint64_t gen = 0;
    std::uint32_t uid = 0;
    if (!fdoc.parse(line) || !flags_line(fdoc.root(), base, gen, uid, flags)) continue;
    auto g = gens.find(gen);
    if (g == gens.end()) continue;
    auto it = g->second.items.find(uid);
    if (it != g->second.items.end()) it->second.flags = flags;
  }
  if (reader.failed()) {
    set_err("cannot read %s", manifest_path(dir).c_str());
    return false;
  }
  if (current == 0 || !gens.count(current)) current = last_gen;
  auto g = gens.find(current);
  if (g == gens.end()) return true;
  out.reserve(g->second.items.size());
  for (auto &kv : g->second.items) out.push_back(std::move(kv.second));
  return true;
}

}  // namespace kq
