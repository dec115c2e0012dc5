#include "advice.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace kqcli {

namespace {

bool contains_any(const std::string &text, std::initializer_list<std::string_view> words) {
  std::string low(text);
  std::transform(low.begin(), low.end(), low.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return std::any_of(words.begin(), words.end(),
                     [&](std::string_view w) { return low.find(w) != std::string::npos; });
}

}  // namespace

std::string in_tool_words(const std::string &why) {
  // Longest first: a shorter advice is part of a longer one.
  static constexpr struct {
    std::string_view library, tool;
  } k_words[] = {
      {"name the CA that issued it in ca_file, or set tls_verify 0 to skip the check (insecure)",
       "give the CA that issued it with --ca-file FILE (ca_file in the configuration), or skip the "
       "check with --insecure (tls_verify = false; insecure)"},
      {"or set tls_verify 0 to skip the check (insecure)",
       "or skip the check with --insecure (tls_verify = false; insecure)"},
      {"set tls_verify 0 to skip the check (insecure)",
       "skip the check with --insecure (tls_verify = false; insecure)"},
      {"no CA certificates (set ca_file, or tls_verify 0)",
       "no CA certificates (give --ca-file FILE, or --insecure)"},
      {"use ssl 0 or 2", "use --plain or --starttls (tls = \"none\" or \"starttls\" in the configuration)"},
      {"use ssl 1", "leave out --plain and --starttls (tls = \"implicit\" in the configuration)"},
  };
  std::string out = why;
  for (const auto &w : k_words) {
    for (std::size_t at = out.find(w.library); at != std::string::npos;
         at = out.find(w.library, at + w.tool.size()))
      out.replace(at, w.library.size(), w.tool);
  }
  return out;
}

std::string after_stop_advice(const std::string &why) {
  const char *then = ": the same command then continues where this run stopped.";
  if (contains_any(why, {"no space left", "disk quota", "file too large", "disk full"}))
    return std::string("make room on that disk first") + then;
  if (contains_any(why, {"permission denied", "read-only file system", "operation not permitted",
                         "access is denied"}))
    return std::string("make the directory writable for this user first") + then;
  if (contains_any(why, {"already holds a different message"}))
    return std::string("move that file aside first") + then;
  if (contains_any(why, {"certificate", "ca_file", "tls_verify", "--ca-file", "--insecure", "speaks tls",
                         "plain imap port", "authentication failed", "invalid config"}))
    return std::string("mend the connection settings first (the reason above says how)") + then;
  return "run the same command again to continue.";
}

}  // namespace kqcli
