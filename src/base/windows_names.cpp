#include "base/windows_names.h"

#include <cstring>

#include "base/strcase.h"

namespace kq {

bool windows_device_name(std::string_view name) {
  // "con.txt" and "con .txt" open the console as well: what counts is the
  // part before the first dot, trailing spaces dropped.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (const char *dev : {"con", "prn", "aux", "nul"})
    if (ascii_ieq(stem, dev)) return true;
  return stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9' &&
         (ascii_ieq(stem.substr(0, 3), "com") || ascii_ieq(stem.substr(0, 3), "lpt"));
}

bool windows_forbidden_byte(unsigned char c) {
  return c < 0x20 || (c != 0 && std::strchr(":*?\"<>|/\\", c) != nullptr);
}

std::string windows_file_name(std::string_view name) {
  std::string out(name);
  for (char &ch : out)
    if (windows_forbidden_byte(static_cast<unsigned char>(ch))) ch = '_';
  // Only the last byte matters: once it is kept, nothing before it is
  // stripped ("a. ." stays as "a. _").
  if (!out.empty() && (out.back() == '.' || out.back() == ' ')) out.back() = '_';
  if (!windows_device_name(out)) return out;
  std::string dev;
  dev.reserve(out.size() + 1);
  dev += '_';
  dev += out;
  return dev;
}

}  // namespace kq
