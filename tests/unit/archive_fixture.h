// Hand-written archives for the verification and statistics tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace archive_test {

// Digests from published test vectors, so the tests do not lean on the hash
// code they check.
inline const std::string k_sha_empty =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
inline const std::string k_sha_abc =
    "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
inline const std::string k_sha_fox =  // "The quick brown fox jumps over the lazy dog"
    "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592";
inline const std::string k_sha_million_a =  // 1,000,000 times "a": many 64 KiB reads
    "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";

// A fresh directory under the system's temporary directory, removed again.
class temp_dir {
 public:
  explicit temp_dir(const std::string &tag) {
    static int n = 0;
    path_ = std::filesystem::temp_directory_path() /
            ("kq-" + tag + "-" + std::to_string(++n) + "-" +
             std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  temp_dir(const temp_dir &) = delete;
  temp_dir &operator=(const temp_dir &) = delete;
  const std::filesystem::path &path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path &p, const std::string &bytes) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// One manifest line as the exporter writes it; uidvalidity 0 writes none,
// as lines from before it was recorded have none.
inline std::string manifest_line(unsigned uid, const std::string &file, const std::string &sha,
                                  long long size = 0, long long ts = -1,
                                  std::uint64_t uidvalidity = 0) {
  return "{\"uid\":" + std::to_string(uid) + ",\"folder\":\"INBOX\"" +
         (uidvalidity ? ",\"uidvalidity\":" + std::to_string(uidvalidity) : std::string()) +
         ",\"file\":\"" + file +
         "\",\"sha256\":\"" + sha + "\",\"size\":" + std::to_string(size) +
         ",\"from\":\"a@example.org\",\"subject\":\"s\",\"date\":\"17-Jul-1996 02:44:25 -0700\","
         "\"ts\":" +
         std::to_string(ts) + "}\n";
}

}  // namespace archive_test
