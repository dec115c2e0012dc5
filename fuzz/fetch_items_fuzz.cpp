// Bytes from the server through the response reader, split at a point the
// input chooses, then every response through the FETCH item parser and its
// BODYSTRUCTURE through the attachment rule.
#include <cstdint>
#include <string>

#include "connection/fetch_data.h"
#include "connection/response.h"
#include "search/search.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const char *bytes = reinterpret_cast<const char *>(data) + 1;
  std::size_t n = size - 1;
  // The first byte picks the read size, so records and literals are split
  // across reads everywhere.
  std::size_t step = static_cast<std::size_t>(data[0]) + 1;
  kq::response_parser p;
  for (std::size_t i = 0; i < n && p.error().empty();) {
    std::size_t chunk = n - i < step ? n - i : step;
    std::size_t used = 0;
    while (used < chunk && p.error().empty()) {
      used += p.feed(bytes + i + used, chunk - used);
      if (p.ready()) {
        kq::response &r = p.take();
        kq::fetch_data f;
        if (kq::parse_fetch(r, f)) {
          f.find("]");
          f.find("HEADER");
          // The search reads the attachment flag from the structure.
          if (f.structure_ok) kq::structure_attachment_state(f.structure);
        }
      }
    }
    i += chunk;
  }
  return 0;
}
