// Search criteria JSON, then one match against a fixed row so every parsed
// value is used.
#include <cstdint>
#include <string>

#include "search/search.h"
#include "search/search_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string json(reinterpret_cast<const char *>(data), size);
  kq::search_criteria c;
  kq::criteria_parse(json.c_str(), c);
  kq::search_hit h{};
  h.uid = 7;
  h.bytes = 1234;
  h.ts = 837596665;
  kq::criteria_match(c, h);
  return 0;
}
