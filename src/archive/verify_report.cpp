// The failure list of the last verification and its JSON report.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "archive/verify.h"
#include "kerquill.h"

namespace kq {

verify_report s_verify;

namespace {
constexpr std::size_t k_report_cap = 2097152;
char s_report[k_report_cap];

// Releases the list when the process ends.
struct files_owner {
  ~files_owner() { std::free(s_verify.files_text); }
} s_files_owner;
}  // namespace

void verify_reset() {
  std::free(s_verify.files_text);
  s_verify = verify_report{};
}

void verify_add(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  if (n < 0) {
    va_end(ap2);
    return;
  }
  auto need = s_verify.files_len + static_cast<std::uint64_t>(n) + 1;
  if (s_verify.files_len + 4096 > s_verify.files_cap || need > s_verify.files_cap) {
    std::uint64_t cap = s_verify.files_cap ? s_verify.files_cap * 2 : 32768;
    while (cap < need) cap *= 2;
    auto *p = static_cast<char *>(std::realloc(s_verify.files_text, cap));
    if (!p) {
      va_end(ap2);
      return;
    }
    s_verify.files_text = p;
    s_verify.files_cap = cap;
  }
  std::vsnprintf(s_verify.files_text + s_verify.files_len, s_verify.files_cap - s_verify.files_len,
                 format, ap2);
  va_end(ap2);
  s_verify.files_len += static_cast<std::uint64_t>(n);
}

std::size_t verify_files_fit(std::size_t room) {
  if (s_verify.files_len <= room) return s_verify.files_len;
  std::string_view text(s_verify.files_text, s_verify.files_len);
  // Every entry ends with one of these; inside an escaped file name a quote
  // is always preceded by a backslash, so the pattern marks a real end.
  static constexpr std::string_view ends[] = {"\",\"status\":\"missing\"}",
                                              "\",\"status\":\"corrupt\"}"};
  for (std::size_t p = room; p > 0; --p) {
    if (text[p] != ',') continue;  // the separator after an entry
    std::string_view head = text.substr(0, p);
    for (auto e : ends)
      if (head.ends_with(e)) return p;
  }
  return 0;
}

}  // namespace kq

extern "C" KQ_API const char *kq_verify_report_json(void) {
  using namespace kq;
  int n = std::snprintf(s_report, k_report_cap,
                        "{\"ok\":%lld,\"missing\":%lld,\"corrupt\":%lld,\"total\":%lld,\"files\":[",
                        static_cast<long long>(s_verify.ok), static_cast<long long>(s_verify.missing),
                        static_cast<long long>(s_verify.corrupt),
                        static_cast<long long>(s_verify.total));
  std::size_t used = static_cast<std::size_t>(n);
  // Room for the entries: the text ends with "]}" and its NUL.
  std::size_t take = verify_files_fit(k_report_cap - 1 - 2 - used);
  if (take) std::memcpy(s_report + used, s_verify.files_text, take);
  used += take;
  std::memcpy(s_report + used, "]}", 3);
  return s_report;
}
