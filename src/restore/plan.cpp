// What a restore puts back: the manifest's messages of the archive's
// current UIDVALIDITY generation, with their latest flags.
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "archive/manifest.h"
#include "archive/resume_file.h"
#include "base/dates.h"
#include "base/error.h"
#include "base/mutf7.h"
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

}  // namespace

std::string restore_target_name(std::string_view prefix, std::string_view archived) {
  std::string utf8;
  if (!mutf7_decode(archived, utf8)) return std::string(prefix) + std::string(archived);
  std::string name = mutf7_encode(prefix);
  name += archived;
  std::string joined;
  if (mutf7_decode(name, joined)) return name;
  // The prefix's last encoded run meets the name's first: one run, as a
  // server would write it, of the whole name.
  return mutf7_encode(std::string(prefix) + utf8);
}

bool restore_plan(const std::string &dir, std::vector<restore_item> &out, std::string *folder) {
  out.clear();
  if (folder) folder->clear();
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
  // The manifest's own reader folds later flag lines into each message.
  std::vector<manifest_message> listed;
  if (manifest_latest_flags(dir.c_str(), base, listed) != 0) return false;
  // Without a resume.json the current generation is that of the last
  // message line.
  if (current == 0 && !listed.empty()) current = listed.back().generation;
  bool known = false;
  for (const manifest_message &m : listed) known = known || m.generation == current;
  if (!known && !listed.empty()) current = listed.back().generation;
  try {
    for (manifest_message &m : listed) {
      if (m.generation != current) continue;
      if (folder && !m.folder.empty()) *folder = m.folder;
      restore_item it;
      it.uid = m.uid;
      it.file = std::move(m.file);
      it.sha256 = std::move(m.sha256);
      it.size = m.size;
      // The INTERNALDATE text as the server sent it keeps its zone; the
      // seconds are the fallback.
      if (append_date(m.date) && internaldate_ts(m.date.c_str()) >= 0) it.date = std::move(m.date);
      else it.date = internaldate_of(m.ts);
      it.flags = std::move(m.flags);
      out.push_back(std::move(it));
    }
  } catch (const std::bad_alloc &) {
    set_err("out of memory");
    return false;
  }
  std::sort(out.begin(), out.end(), [](const restore_item &x, const restore_item &y) { return x.uid < y.uid; });
  return true;
}

}  // namespace kq
