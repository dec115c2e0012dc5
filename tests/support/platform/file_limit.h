// Caps the size of regular files this process may write, so a test can make
// a write stop part-way as on a full disk.
#pragma once

namespace kqtest {

class file_size_limit {
 public:
  // Writes past `bytes` fail (short write, then an error) instead of raising
  // a signal.
  explicit file_size_limit(long long bytes);
  // False where the system has no such limit (Windows): tests that need one
  // skip there.
  static bool supported();
  ~file_size_limit();
  file_size_limit(const file_size_limit &) = delete;
  file_size_limit &operator=(const file_size_limit &) = delete;

 private:
  unsigned long long old_soft_;
  bool set_ = false;
};

}  // namespace kqtest
