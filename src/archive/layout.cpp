#include "archive/layout.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "base/dates.h"
#include "base/mutf7.h"
#include "base/strcase.h"
#include "base/utf8.h"
#include "base/windows_names.h"
#include "platform/platform.h"

namespace kq {

int mkdirs(const char *path) {
  char buf[4096];
  std::snprintf(buf, sizeof buf, "%s", path ? path : "");
  if (!buf[0]) return -1;
  // The first character is never a separator, so "/abs" does not try "".
  for (char *p = buf + 1; *p; ++p) {
    if (*p == '/' || *p == '\\') {
      *p = '\0';
      plat::make_dir(buf);
      *p = '/';
    }
  }
  return plat::make_dir(buf) ? 0 : -1;
}

namespace {

bool is_blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Reads a decimal number the way "%d" does (blanks, sign, digits). More
// than nine digits count as unreadable rather than overflow.
bool read_int(const char *&p, long *out) {
  while (is_blank(*p)) ++p;
  bool neg = false;
  if (*p == '+' || *p == '-') neg = *p++ == '-';
  int digits = 0;
  long v = 0;
  while (*p >= '0' && *p <= '9') {
    if (++digits > 9) return false;
    v = v * 10 + (*p++ - '0');
  }
  if (digits == 0) return false;
  *out = neg ? -v : v;
  return true;
}

}  // namespace

void date_year_month(const char *date, int *year, int *month) {
  *year = 1970;
  *month = 1;
  if (!date || !*date) return;
  // Day, '-', up to three non-blank characters, '-', year.
  const char *p = date;
  long day, y;
  if (!read_int(p, &day) || *p++ != '-') return;
  while (is_blank(*p)) ++p;
  char name[4] = {};
  int n = 0;
  while (n < 3 && *p && !is_blank(*p)) name[n++] = *p++;
  if (n == 0 || *p++ != '-') return;
  if (!read_int(p, &y) || y < 1900) return;
  *year = static_cast<int>(y);
  *month = month_from_abbr(std::string_view(name, static_cast<std::size_t>(n)));
}

bool naming_is_dated(const char *naming) {
  return naming && kq_strcasestr(naming, "YYYY") != nullptr;
}

std::string relative_name(bool dated, const char *date, std::uint32_t uid,
                          std::uint64_t uidvalidity) {
  char name[96];
  int n = 0;
  if (dated) {
    int y, m;
    date_year_month(date, &y, &m);
    n = std::snprintf(name, sizeof name, "%04d-%02d/", y, m);
  }
  if (uidvalidity)
    std::snprintf(name + n, sizeof name - static_cast<std::size_t>(n), "uid-%u.v%llu.eml", uid,
                  static_cast<unsigned long long>(uidvalidity));
  else
    std::snprintf(name + n, sizeof name - static_cast<std::size_t>(n), "uid-%u.eml", uid);
  return name;
}

std::string maildir_flag_letters(const std::vector<std::string> &flags) {
  // Already in ASCII order of their letters.
  static const struct {
    const char *flag;
    char letter;
  } k_letters[] = {{"\\Draft", 'D'}, {"\\Flagged", 'F'}, {"\\Answered", 'R'}, {"\\Seen", 'S'}, {"\\Deleted", 'T'}};
  std::string out;
  for (const auto &l : k_letters)
    for (const std::string &f : flags)
      if (ascii_ieq(f, l.flag)) {
        out += l.letter;
        break;
      }
  return out;
}

std::string maildir_name(long long secs, std::uint64_t uidvalidity, std::uint32_t uid,
                         const std::vector<std::string> *flags, bool windows) {
  char name[96];
  std::snprintf(name, sizeof name, "cur/%lld.U%llu_%u.kerquill%c2,", secs < 0 ? 0 : secs,
                static_cast<unsigned long long>(uidvalidity), uid, windows ? '!' : ':');
  std::string out = name;
  if (flags) out += maildir_flag_letters(*flags);
  return out;
}

std::size_t utf8_cut(std::string_view s, std::size_t n) {
  if (s.size() <= n) return s.size();
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return n;
}

void sanitize_folder(char out[k_subdir_cap], const char *name) {
  sanitize_folder_as(out, name, plat::windows_file_names());
}

void sanitize_folder_as(char out[k_subdir_cap], const char *name, bool windows) {
  // The directory name goes into JSON texts (the job's configuration, the
  // status), so it is kept valid UTF-8: a byte that is no part of a
  // character becomes '_', and the cut never splits a character.
  std::string_view in(name);
  std::size_t n = 0, i = 0;
  while (i < in.size()) {
    std::size_t len = utf8_seq(in, i);
    if (len == 0) len = 1;
    if (n + len > k_subdir_cap - 1) break;
    if (len == 1) {
      char c = in[i];
      bool bad = static_cast<unsigned char>(c) >= 0x80 || c == '"' || c == '/' || c == '\\';
      out[n] = bad ? '_' : c;
    } else {
      std::memcpy(out + n, in.data() + i, len);
    }
    n += len;
    i += len;
  }
  out[n] = '\0';
  if (n == 0 || std::strcmp(out, ".") == 0 || std::strcmp(out, "..") == 0) {
    std::memmove(out + 1, out, n + 1);
    out[0] = '_';
  }
  if (!windows) return;
  // On Windows ".." has become "_..", which Windows would strip to "_";
  // the rule turns it into "_._". Growing a long name by the '_' of a
  // device name may need a cut, which may leave a final dot or space: the
  // second pass mends that without growing (the name now starts with '_',
  // so it is no device any more).
  std::string w = windows_file_name(out);
  if (w.size() > k_subdir_cap - 1)
    w = windows_file_name(std::string_view(w).substr(0, utf8_cut(w, k_subdir_cap - 1)));
  std::memcpy(out, w.c_str(), w.size() + 1);
}

void folder_subdir(char out[k_subdir_cap], const char *dir, const char *folder,
                   const std::function<bool(const char *)> &taken) {
  // Named after what a person reads ("Entwürfe", not "Entw&APw-rfe"),
  // unless an earlier run already made the directory under the raw name:
  // resuming into it must find the archive it started.
  char raw[k_subdir_cap], base[k_subdir_cap];
  sanitize_folder(raw, folder);
  std::string display = folder_display_name(folder);
  sanitize_folder(base, display.c_str());
  if (std::strcmp(raw, base) != 0 && dir[0] &&
      plat::path_exists((std::string(dir) + "/" + raw).c_str()))
    std::memcpy(base, raw, sizeof base);
  std::snprintf(out, k_subdir_cap, "%s", base);
  for (int k = 2; taken(out); ++k) {
    char suffix[16];
    int sl = std::snprintf(suffix, sizeof suffix, "~%d", k);
    std::size_t keep = utf8_cut(base, k_subdir_cap - 1 - static_cast<std::size_t>(sl));
    std::snprintf(out, k_subdir_cap, "%.*s%s", static_cast<int>(keep), base, suffix);
  }
}

}  // namespace kq
