#include "patterns.h"

#include <cctype>

namespace kqcli {

namespace {

bool is_inbox(std::string_view s, char delim) {
  if (s.size() < 5) return false;
  static const char k[] = "inbox";
  for (std::size_t i = 0; i < 5; ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != k[i]) return false;
  return s.size() == 5 || s[5] == delim;
}

// Iterative matcher with one backtrack point per wildcard kind: '*' may
// swallow anything; '%' anything up to the next delimiter.
bool match(std::string_view p, std::string_view n, char delim) {
  if (p.empty()) return n.empty();
  if (p[0] == '*') {
    for (std::size_t i = 0; i <= n.size(); ++i)
      if (match(p.substr(1), n.substr(i), delim)) return true;
    return false;
  }
  if (p[0] == '%') {
    for (std::size_t i = 0; i <= n.size(); ++i) {
      if (match(p.substr(1), n.substr(i), delim)) return true;
      if (i < n.size() && n[i] == delim) return false;
    }
    return false;
  }
  return !n.empty() && p[0] == n[0] && match(p.substr(1), n.substr(1), delim);
}

}  // namespace

bool imap_match(std::string_view pattern, std::string_view name, char delimiter) {
  // INBOX is case-insensitive in IMAP, also as the first level of a name.
  if (is_inbox(pattern, delimiter) && is_inbox(name, delimiter))
    return match(pattern.substr(5), name.substr(5), delimiter);
  return match(pattern, name, delimiter);
}

std::vector<std::string> filter_folders(const std::vector<std::string> &names,
                                        const std::vector<std::string> &include,
                                        const std::vector<std::string> &exclude, char delimiter) {
  std::vector<std::string> kept;
  for (const auto &n : names) {
    bool in = include.empty();
    for (const auto &p : include) in = in || imap_match(p, n, delimiter);
    for (const auto &p : exclude) in = in && !imap_match(p, n, delimiter);
    if (in) kept.push_back(n);
  }
  return kept;
}

}  // namespace kqcli
