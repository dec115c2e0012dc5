// Header unfolding and lookup over a header block as fetched: both readers,
// every field name the library asks for, and the attachment guess.
#include <cstdint>
#include <string>

#include "message/mime.h"
#include "search/search.h"

namespace {
const char *const k_names[] = {"From",          "Subject:",          "Content-Type:",
                               "Content-Transfer-Encoding:", "Content-Disposition:", "Date",
                               "To",            "X-"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string block(reinterpret_cast<const char *>(data), size);
  char out[1024];
  for (const char *name : k_names) {
    kq::hdr_line_value(block.c_str(), static_cast<long long>(block.size()), name, out, sizeof out);
    kq::hdr_find(block.data(), block.data() + block.size(), name, out, sizeof out);
  }
  char tiny[2];
  kq::hdr_line_value(block.c_str(), static_cast<long long>(block.size()), "From", tiny, sizeof tiny);
  kq::attachment_state(block.c_str());
  kq::mime_part p;
  kq::part_parse_headers(&p, block.data(), block.size());
  return 0;
}
