// The readable body text of a message (HTML stripped), and the HTML-to-text
// steps on the raw bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "message/fetched.h"
#include "message/html_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static kq::text_work work;
  static bool ready = work.alloc();
  if (!ready) return 0;
  std::string msg(reinterpret_cast<const char *>(data), size);
  static char out[4096];
  kq::choose_body_text(msg.data(), msg.size(), work, out, sizeof out);

  auto text = std::make_unique<char[]>(size + 1);
  std::size_t n = kq::strip_tags(msg.data(), msg.size(), text.get(), size + 1);
  (void)n;
  text[size] = '\0';
  kq::entity_decode(text.get());
  char small[8];
  kq::strip_tags(msg.data(), msg.size(), small, sizeof small);
  return 0;
}
