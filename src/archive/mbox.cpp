#include "archive/mbox.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "base/dates.h"
#include "platform/platform.h"

namespace kq {

namespace {

// Bytes a separator line can carry: printable ASCII without blanks, so a
// mail reader never sees a torn or odd "From " line.
bool address_ok(std::string_view a) {
  if (a.empty()) return false;
  for (char c : a) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u >= 0x7f) return false;
  }
  return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string mbox_sender(const char *from) {
  std::string_view f = from ? from : "";
  std::size_t lt = f.find('<');
  if (lt != std::string_view::npos) {
    std::size_t gt = f.find('>', lt + 1);
    if (gt != std::string_view::npos) {
      std::string_view a = f.substr(lt + 1, gt - lt - 1);
      if (address_ok(a)) return std::string(a);
    }
  }
  std::size_t i = 0;
  while (i < f.size()) {
    while (i < f.size() && is_blank(f[i])) ++i;
    std::size_t start = i;
    while (i < f.size() && !is_blank(f[i])) ++i;
    std::string_view word = f.substr(start, i - start);
    if (word.find('@') != std::string_view::npos && address_ok(word)) return std::string(word);
  }
  return "unknown";
}

std::string mbox_time_text(long long t) {
  static const char *const k_days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::tm tm{};
  if (!plat::utc_to_tm(t, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
      tm.tm_mon > 11)
    plat::utc_to_tm(0, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %d", k_days[tm.tm_wday],
                k_month_abbr[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_year + 1900);
  return buf;
}

void mbox_record_append(std::string &out, const char *from, long long now, const char *msg,
                        std::size_t len) {
  out += "From ";
  out += mbox_sender(from);
  out += ' ';
  out += mbox_time_text(now);
  out += "\r\n";
  std::size_t line = 0;  // start of the current line
  while (line < len) {
    const void *lf = std::memchr(msg + line, '\n', len - line);
    std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - msg) + 1 : len;
    if (end - line >= 5 && std::memcmp(msg + line, "From ", 5) == 0) out += '>';
    out.append(msg + line, end - line);
    line = end;
  }
  if (len == 0 || msg[len - 1] != '\n') out += "\r\n";
  out += "\r\n";
}

void mbox_record_stream::begin(std::string &out, const char *from, long long now) {
  out += "From ";
  out += mbox_sender(from);
  out += ' ';
  out += mbox_time_text(now);
  out += "\r\n";
  line_start_ = true;
  held_.clear();
  last_ = 0;
  any_ = false;
}

void mbox_record_stream::feed(std::string &out, const char *data, std::size_t n) {
  static constexpr std::string_view k_from = "From ";
  if (n == 0) return;
  any_ = true;
  last_ = data[n - 1];
  std::size_t i = 0;
  while (i < n) {
    if (line_start_) {
      // Up to five bytes decide whether this line needs its '>'.
      while (i < n && held_.size() < k_from.size() && data[i] == k_from[held_.size()]) held_ += data[i++];
      if (held_.size() == k_from.size()) {
        out += '>';
      } else if (i == n) {
        return;  // the next chunk tells
      }
      out += held_;
      held_.clear();
      line_start_ = false;
    }
    const void *lf = std::memchr(data + i, '\n', n - i);
    std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char *>(lf) - data) + 1 : n;
    out.append(data + i, end - i);
    i = end;
    if (lf) line_start_ = true;
  }
}

void mbox_record_stream::end(std::string &out) {
  out += held_;
  held_.clear();
  if (!any_ || last_ != '\n') out += "\r\n";
  out += "\r\n";
}

bool mbox_record_boundary(const char *path, long long at) {
  if (at == 0) return true;
  if (at < 4) return false;
  char b[9] = {};
  long long n = plat::read_at(path, at - 4, b, sizeof b);
  if (n < 4 || b[0] != '\r' || b[1] != '\n' || b[2] != '\r' || b[3] != '\n') return false;
  return n == 4 || (n == 9 && std::memcmp(b + 4, "From ", 5) == 0);
}

}  // namespace kq
