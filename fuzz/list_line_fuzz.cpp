// One "* LIST (attrs) delim name" record; bytes after the first NUL play the
// literal that a record ending in {n} announces.
#include <cstdint>
#include <cstring>
#include <string>

#include "mailbox/folders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string in(reinterpret_cast<const char *>(data), size);
  std::size_t nul = in.find('\0');
  std::string line = in.substr(0, nul);
  std::string lit = nul == std::string::npos ? std::string() : in.substr(nul + 1);
  std::string name;
  kq::list_parse_line(line.c_str(), lit.empty() ? nullptr : lit.data(),
                      static_cast<long long>(lit.size()), name);
  return 0;
}
