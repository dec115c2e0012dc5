// A manifest.jsonl as found on disk: every line through the line parser,
// then the whole file through verification and statistics in a scratch
// archive that holds a message, a subdirectory and a link leading out.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <unistd.h>

#include "archive/manifest.h"
#include "kerquill.h"

namespace fs = std::filesystem;

namespace {

fs::path scratch_archive() {
  fs::path dir = fs::temp_directory_path() / ("kq-fuzz-manifest-" + std::to_string(::getpid()));
  fs::create_directories(dir / "2024-01");
  std::ofstream(dir / "uid-1.eml", std::ios::binary) << "abc";
  std::ofstream(dir / "2024-01" / "uid-2.eml", std::ios::binary) << "";
  std::error_code ec;
  fs::create_symlink("/etc/hostname", dir / "uid-3.eml", ec);
  fs::create_directory_symlink("/etc", dir / "sub", ec);
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static const fs::path dir = scratch_archive();
  std::string_view text(reinterpret_cast<const char *>(data), size);
  kq::json_doc doc;
  kq::manifest_entry e;
  while (!text.empty()) {
    std::size_t nl = text.find('\n');
    kq::manifest_parse_line(text.substr(0, nl), doc, e);
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  {
    std::ofstream f(dir / "manifest.jsonl", std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
  }
  kq_verify_dir(dir.c_str());
  kq_verify_report_json();
  kq_archive_stats_json(dir.c_str());
  return 0;
}
