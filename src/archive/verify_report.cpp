// The failure list of the last verification and its JSON report.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "archive/verify.h"

namespace kq {

archive_results::~archive_results() { std::free(verify.files_text); }

archive_results &archive_outputs() {
  static archive_results r;
  return r;
}

void verify_reset() {
  std::free(archive_outputs().verify.files_text);
  archive_outputs().verify = verify_report{};
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
  auto need = archive_outputs().verify.files_len + static_cast<std::uint64_t>(n) + 1;
  if (archive_outputs().verify.files_len + 4096 > archive_outputs().verify.files_cap || need > archive_outputs().verify.files_cap) {
    std::uint64_t cap = archive_outputs().verify.files_cap ? archive_outputs().verify.files_cap * 2 : 32768;
    while (cap < need) cap *= 2;
    auto *p = static_cast<char *>(std::realloc(archive_outputs().verify.files_text, cap));
    if (!p) {
      va_end(ap2);
      return;
    }
    archive_outputs().verify.files_text = p;
    archive_outputs().verify.files_cap = cap;
  }
  std::vsnprintf(archive_outputs().verify.files_text + archive_outputs().verify.files_len, archive_outputs().verify.files_cap - archive_outputs().verify.files_len,
                 format, ap2);
  va_end(ap2);
  archive_outputs().verify.files_len += static_cast<std::uint64_t>(n);
}

std::size_t verify_files_fit(std::size_t room) {
  if (archive_outputs().verify.files_len <= room) return archive_outputs().verify.files_len;
  std::string_view text(archive_outputs().verify.files_text, archive_outputs().verify.files_len);
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

namespace kq {
namespace {

template <class T>
void append_list(std::string &out, const char *key, const std::vector<T> &list) {
  out += ",\"";
  out += key;
  out += "\":[";
  char num[24];
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::snprintf(num, sizeof num, "%s%llu", i ? "," : "", static_cast<unsigned long long>(list[i]));
    out += num;
  }
  out += "]";
}

// The keys after "files": what the manifest itself lacks, and the verdict.
std::string report_tail() {
  static const char *const resume_text[] = {"absent", "read", "unreadable"};
  bool intact = archive_outputs().verify.missing == 0 && archive_outputs().verify.corrupt == 0 && archive_outputs().verify.unreadable == 0 &&
                archive_outputs().verify.duplicates == 0 && archive_outputs().verify.unlisted == 0 &&
                archive_outputs().verify.resume != verify_report::resume_unreadable;
  char head[256];
  std::snprintf(head, sizeof head,
                "],\"unreadable_lines\":%lld,\"duplicates\":%lld,\"unlisted\":%lld,"
                "\"resume\":\"%s\",\"intact\":%s",
                static_cast<long long>(archive_outputs().verify.unreadable),
                static_cast<long long>(archive_outputs().verify.duplicates),
                static_cast<long long>(archive_outputs().verify.unlisted), resume_text[archive_outputs().verify.resume],
                intact ? "true" : "false");
  std::string out = head;
  append_list(out, "bad_lines", archive_outputs().verify.bad_lines);
  append_list(out, "duplicate_uids", archive_outputs().verify.duplicate_uids);
  append_list(out, "unlisted_uids", archive_outputs().verify.unlisted_uids);
  out += "}";
  return out;
}

}  // namespace

const char *verify_report_json() {
  int n = std::snprintf(archive_outputs().verify_json, k_report_cap,
                        "{\"ok\":%lld,\"missing\":%lld,\"corrupt\":%lld,\"total\":%lld,\"files\":[",
                        static_cast<long long>(archive_outputs().verify.ok), static_cast<long long>(archive_outputs().verify.missing),
                        static_cast<long long>(archive_outputs().verify.corrupt),
                        static_cast<long long>(archive_outputs().verify.total));
  std::size_t used = static_cast<std::size_t>(n);
  std::string tail;
  try {
    tail = report_tail();
  } catch (...) {
    tail = "]}";  // no memory for the extra keys: the counters above still hold
  }
  // Room for the entries: the text ends with the tail and its NUL; the
  // tail is at most a few KiB, bounded by k_verify_list.
  std::size_t take = verify_files_fit(k_report_cap - 1 - tail.size() - used);
  if (take) std::memcpy(archive_outputs().verify_json + used, archive_outputs().verify.files_text, take);
  used += take;
  std::memcpy(archive_outputs().verify_json + used, tail.c_str(), tail.size() + 1);
  return archive_outputs().verify_json;
}

}  // namespace kq
