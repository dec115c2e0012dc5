// INTERNALDATE texts from a server and YYYY-MM-DD texts from the host.
#include <cstdint>
#include <string>

#include "search/search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  kq::internaldate_ts(text.c_str());
  kq::kq_parse_yyyymmdd(text.c_str());
  return 0;
}
