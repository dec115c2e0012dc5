// The MIME walk over a whole message, each leaf decoded by its transfer
// encoding into a buffer of the part's size and into one far too small.
#include <cstdint>
#include <memory>
#include <string>

#include "message/mime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string msg(reinterpret_cast<const char *>(data), size);
  kq::leaf_walk(msg.data(), msg.size(), [](const kq::mime_part &p) {
    std::uint64_t cap = p.body_len + 4;
    auto dst = std::make_unique<char[]>(cap);
    kq::decode_part(p.body, p.body_len, p.cte, dst.get(), cap);
    char small[3];
    kq::decode_part(p.body, p.body_len, p.cte, small, sizeof small);
    kq::b64_decode(p.body, p.body_len, dst.get(), cap);
    return true;
  });
  return 0;
}
