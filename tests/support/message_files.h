// Message fixtures and scratch directories for the fetch and attachment tests.
// (tagged_scratch_dir is not support/scratch_files.h's scratch_dir: two
// classes of one name broke the one-definition rule.)
#pragma once

#include <filesystem>
#include <string>

namespace kqtest {

// Whole file as bytes; fails the current test when it cannot be read.
std::string read_file(const std::filesystem::path &p);
// A path from UTF-8 text, as the library takes and gives names. A plain
// narrow string becomes a path in the ANSI code page on Windows, which
// mangles every name outside it.
inline std::filesystem::path utf8_path(const std::string &s) {
  return std::filesystem::path(std::u8string(s.begin(), s.end()));
}
// tests/data/messages/<name> and tests/data/messages/originals/<name>.
std::string message_fixture(const std::string &name);
std::string original_payload(const std::string &name);

// A fresh empty directory under the system temp dir, removed on destruction.
class tagged_scratch_dir {
 public:
  explicit tagged_scratch_dir(const std::string &tag);
  ~tagged_scratch_dir();
  tagged_scratch_dir(const tagged_scratch_dir &) = delete;
  tagged_scratch_dir &operator=(const tagged_scratch_dir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string str() const { return path_.string(); }
 private:
  std::filesystem::path path_;
};

}  // namespace kqtest
