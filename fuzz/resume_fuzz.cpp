// The text of a resume.json as found on disk.
#include <cstdint>
#include <new>
#include <string_view>

#include "archive/resume_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kq::resume_data r;
  try {
    kq::resume_parse(std::string_view(reinterpret_cast<const char *>(data), size), r);
  } catch (const std::bad_alloc &) {
  }
  return 0;
}
