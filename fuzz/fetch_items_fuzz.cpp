// The data items of one untagged FETCH record as the reader hands it over.
#include <cstdint>
#include <string>

#include "search/fetch_items.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string record(reinterpret_cast<const char *>(data), size);
  kq::read_fetch_items(record.c_str());
  unsigned long long uid = 0;
  kq::read_fetch_uid(record.c_str(), uid);
  return 0;
}
