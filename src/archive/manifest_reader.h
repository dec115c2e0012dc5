// Reads an archive's manifest.jsonl one line at a time, so a manifest of any
// length is read in bounded memory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace kq {

class manifest_reader {
 public:
  // Longest line taken; a longer one cannot be a manifest line and is
  // skipped whole rather than handed out in pieces.
  static constexpr std::size_t k_max_line = 1 << 20;

  manifest_reader() = default;
  manifest_reader(const manifest_reader &) = delete;
  manifest_reader &operator=(const manifest_reader &) = delete;

  // Opens "<dir>/manifest.jsonl"; false when it cannot be read.
  bool open(const char *dir);
  // The next line without its line end; false at the end of the file or
  // when reading fails.
  bool next(std::string_view &line);
  // Reading stopped on an error rather than at the end of the file.
  bool failed() const { return unopenable_ || (file_ && std::ferror(file_.get()) != 0); }

 private:
  struct file_closer {
    void operator()(std::FILE *f) const { std::fclose(f); }
  };
  bool fill();

  std::unique_ptr<std::FILE, file_closer> file_;
  // There but not openable (a directory on Windows): a failed read, not a
  // missing manifest.
  bool unopenable_ = false;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::string line_;
};

// "<dir>/manifest.jsonl".
std::string manifest_path(const char *dir);

}  // namespace kq
