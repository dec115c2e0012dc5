#include "support/message_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace kqtest {

std::string read_file(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << p;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string message_fixture(const std::string &name) {
  return read_file(std::filesystem::path(KQ_TEST_DATA_DIR) / "messages" / name);
}

std::string original_payload(const std::string &name) {
  return read_file(std::filesystem::path(KQ_TEST_DATA_DIR) / "messages" / "originals" / name);
}

tagged_scratch_dir::tagged_scratch_dir(const std::string &tag) {
  static std::atomic<int> n{0};
  static const unsigned salt = std::random_device{}();
  std::ostringstream name;
  name << "kq-" << tag << "-" << std::hex << salt << "-" << n++;
  path_ = std::filesystem::temp_directory_path() / name.str();
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

tagged_scratch_dir::~tagged_scratch_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace kqtest
